#include "messages.h"

#include <cstdio>

void print_line(std::initializer_list<std::string_view> parts) {
    // A message that cannot be written changes neither the work nor the exit status.
    for (std::string_view part : parts)
        (void)std::fwrite(part.data(), 1, part.size(), stdout);
    (void)std::fputc('\n', stdout);
}
