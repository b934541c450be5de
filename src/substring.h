// Literal substring search over a block of bytes.
#pragma once

#include <cstddef>
#include <string_view>

// Offset of the first occurrence of `needle` (not empty) that starts in
// data[from, limit); `limit` when there is none. Every such occurrence must
// fit in the data: limit + needle.size() - 1 bytes are readable.
size_t find_substring(const char* data, size_t from, size_t limit, std::string_view needle);

// Stores in `found` the offsets of successive occurrences of `needle` (not
// empty) that start in data[from, limit), each searched for behind the one
// before, so that they never overlap; at most `capacity` of them. Returns
// how many were stored. The same bytes must be readable as for
// find_substring.
size_t find_each(const char* data, size_t from, size_t limit, std::string_view needle,
                 size_t* found, size_t capacity);
