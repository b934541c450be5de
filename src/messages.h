// Writing the tool's messages on standard output.
#pragma once

#include <initializer_list>
#include <string_view>

// Writes the parts as one line, byte for byte (a NUL byte in a part is
// written as it is), ended by a line end.
void print_line(std::initializer_list<std::string_view> parts);
