// The program's console: arguments, standard output and input, and the
// way out after a failure beneath the program.  One implementation per
// platform, the same calls on each.
#pragma once

#include <cstddef>
#include <string>

// Makes the standard handles safe to use; call first.
void console_init();

// Puts argument 1 into |arg| and returns true, or returns false when the
// command line holds no argument after the program's name.
bool command_line_argument(int argc, char** argv, std::string& arg);

// Writes |text|, followed by CR LF when |line_end| is set, as one write.
// A failed or short write ends the process through fatal().
void write_text(const char* text, bool line_end);

// Puts |text|, followed by CR LF when |line_end| is set, into |buf| of
// |size| bytes.  Returns the length, or 0 when it does not fit.
size_t text_line(char* buf, size_t size, const char* text, bool line_end);

// Reads standard input until a CR, LF or Ctrl+Z byte, or its end.  The
// text read is not kept.  A failed read ends the process through fatal().
void wait_for_return();

// Reports |what| on standard error and ends the process with status 217.
[[noreturn]] void fatal(const char* what);
