// Start-up phase stamps for the bench's traced build of the launcher. The product is built
// without ZRA_PHASE_STAMPS, where every stamp is nothing at all; the traced build defines it and
// links a stamp writer (bench/phase_stamps.cpp) that reports each phase's end on standard error.
#pragma once

#ifdef ZRA_PHASE_STAMPS
void zraPhaseStamp(const char* phase);
#define ZRA_PHASE_STAMP(phase) zraPhaseStamp(phase)
#else
#define ZRA_PHASE_STAMP(phase) ((void)0)
#endif
