// Raw bytes on the process's standard output.
#pragma once

#include <string>

// Writes the bytes exactly as given (no "\r\n" translation, nothing appended) straight to the
// standard output handle, so each call is on its way when it returns: that is the flush the
// installer relies on when it reads the findings line by line. Anything the C runtime still holds
// in its own stdout buffer is flushed first so the order of output is kept. Write failures (no
// standard output, a closed pipe) are ignored: there is nowhere left to report them.
void writeStandardOutput(const std::string& bytes);
