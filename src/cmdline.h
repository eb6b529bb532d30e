// Splitting of a raw narrow command line into words, and the help test.
#pragma once

#include <string>
#include <vector>

// Splits a command line the way the program's own argument rules say:
// bytes 0x01-0x20 separate words, a double quote toggles quoting and is
// dropped, two adjacent double quotes are dropped as a pair without
// changing the quoting state, backslash is an ordinary byte.
std::vector<std::string> split_command_line(const char* line);

// True when |arg| begins with one of -h /h -H /H -? /?.
bool is_help_request(const std::string& arg);
