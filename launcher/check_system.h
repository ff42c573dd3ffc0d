// The readiness checks behind "--check-system": is Windows in a state in which the panel's
// installer may proceed? Findings go to standard output as ASCII text.
#pragma once

// 1 when another Windows Installer installation runs or an interrupted one is recorded, else 0.
int checkInstaller();
// 1 when component servicing or Windows Update waits for a restart, else 0.
int checkPendingRestart();
// Runs both checks, always both and in that order; the larger of their results.
int checkSystem();
