// Raw bytes on the process's standard output.
#pragma once

#include <string>

// Writes the bytes exactly as given (no "\r\n" translation, nothing appended) straight to the
// standard output handle, so each call is on its way when it returns: that is the flush the
// installer relies on when it reads the findings line by line. Anything the C runtime still holds
// in its own stdout buffer is flushed first so the order of output is kept. A process started
// without standard output (no handle) writes nothing; a handle that cannot be had or a write that
// fails raises "Unable to write to standard output" with the OS error, so that a finding is never
// lost without a word.
void writeStandardOutput(const std::string& bytes);
// The same for bytes that need no allocation to be written (the last-resort failure text).
void writeStandardOutput(const char* data, size_t size);

// True when the last bytes written since the last reset did not end in a line break.
bool standardOutputLineOpen();
void resetStandardOutputLine();
