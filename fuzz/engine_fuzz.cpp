// Differential fuzz target for the replacement engine: rewrite_stream, fed in
// chunks of arbitrary sizes through a block of arbitrary size, must give the
// same bytes and the same count as the plain line-by-line reference below,
// and must report every read or write failure instead of a rewrite.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "replace.h"

namespace {

void check(bool condition) {
    if (!condition)
        __builtin_trap();
}

// The expected rewrite, written for clarity rather than speed.
// A line is everything up to and including its line feed; a carriage return
// directly before that line feed is part of the line end. Within the rest,
// occurrences are taken left to right, never overlapping, and what was
// inserted is not searched again.
std::string reference(const std::string& input, const std::string& search,
                      const std::string& replacement, uint64_t& count) {
    count = 0;
    if (search.empty() || search.find('\n') != std::string::npos)
        return input;
    std::string output;
    size_t line_start = 0;
    while (line_start < input.size()) {
        size_t feed = input.find('\n', line_start);
        size_t line_end = feed == std::string::npos ? input.size() : feed + 1;
        size_t text_end = feed == std::string::npos ? input.size() : feed;
        if (text_end > line_start && feed != std::string::npos && input[text_end - 1] == '\r')
            --text_end;
        size_t at = line_start;
        while (at < text_end) {
            if (text_end - at >= search.size() && input.compare(at, search.size(), search) == 0) {
                output += replacement;
                at += search.size();
                ++count;
            } else {
                output += input[at];
                ++at;
            }
        }
        output.append(input, text_end, line_end - text_end);
        line_start = line_end;
    }
    return output;
}

// An in-memory input and output with short reads and injected failures.
struct memory_io {
    const std::string* input;
    size_t read_offset = 0;
    uint64_t chunk_state; // drives the size of each read
    size_t max_chunk;
    size_t fail_read_at;  // a read that would go beyond this offset fails
    size_t fail_write_at; // the write call with this index fails (SIZE_MAX: none)
    bool fail_start;

    bool started = false;
    bool read_failed = false;
    bool write_failed = false;
    size_t writes = 0;
    std::string output;
};

long long read_memory(void* context, char* data, size_t size) {
    auto& io = *static_cast<memory_io*>(context);
    check(size > 0); // a read of nothing would look like the end
    check(!io.read_failed);
    size_t left = io.input->size() - io.read_offset;
    io.chunk_state = io.chunk_state * 6364136223846793005ULL + 1442695040888963407ULL;
    size_t chunk = 1 + static_cast<size_t>(io.chunk_state >> 33) % io.max_chunk;
    size_t n = std::min({size, left, chunk});
    if (n > 0 && io.read_offset + n > io.fail_read_at) {
        io.read_failed = true;
        return -1;
    }
    io.input->copy(data, n, io.read_offset);
    io.read_offset += n;
    return static_cast<long long>(n);
}

bool start_memory(void* context, uint64_t length) {
    auto& io = *static_cast<memory_io*>(context);
    check(!io.started);
    // The prefix must have been read already, so it is known to hold no occurrence.
    check(length <= io.read_offset);
    io.started = true;
    if (io.fail_start)
        return false;
    io.output.assign(*io.input, 0, length);
    return true;
}

bool write_memory(void* context, const char* data, size_t size) {
    auto& io = *static_cast<memory_io*>(context);
    check(io.started && !io.fail_start);
    check(!io.write_failed);
    if (io.writes++ == io.fail_write_at) {
        io.write_failed = true;
        return false;
    }
    io.output.append(data, size);
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider provider(data, size);
    // Short texts over a small alphabet find occurrences; the provider's
    // strings are arbitrary bytes, so line feeds and carriage returns come too.
    std::string search = provider.ConsumeRandomLengthString(16);
    std::string replacement = provider.ConsumeRandomLengthString(16);
    size_t block_size = provider.ConsumeIntegralInRange<size_t>(1, 80);
    size_t max_chunk = provider.ConsumeIntegralInRange<size_t>(1, 96);
    uint64_t chunk_seed = provider.ConsumeIntegral<uint8_t>();
    uint8_t faults = provider.ConsumeIntegral<uint8_t>();
    size_t fault_at = provider.ConsumeIntegral<uint16_t>();
    std::string input = provider.ConsumeRemainingBytesAsString();

    memory_io io;
    io.input = &input;
    io.chunk_state = chunk_seed;
    io.max_chunk = max_chunk;
    io.fail_read_at = (faults & 3) == 1 ? fault_at % (input.size() + 1) : SIZE_MAX;
    io.fail_write_at = (faults & 3) == 2 ? fault_at % 8 : SIZE_MAX;
    io.fail_start = (faults & 3) == 3;

    rewrite_io callbacks{&io, read_memory, start_memory, write_memory};
    static std::vector<char> storage; // kept between inputs, as a run keeps it between passes
    rewrite_result result = rewrite_stream(callbacks, search, replacement, storage, block_size);

    uint64_t expected_count = 0;
    std::string expected = reference(input, search, replacement, expected_count);

    if (io.read_failed) {
        check(result.status == rewrite_status::read_failed);
        return 0;
    }
    if (io.write_failed || (io.fail_start && io.started)) {
        check(result.status == rewrite_status::write_failed);
        return 0;
    }
    // Nothing failed: the whole input was read, unless the search text can
    // never match.
    bool searchable = !search.empty() && search.find('\n') == std::string::npos;
    check(io.read_offset == input.size() || !searchable);
    check(result.replaced == expected_count);
    if (expected_count == 0) {
        check(result.status == rewrite_status::unchanged);
        check(!io.started && io.writes == 0);
    } else {
        check(result.status == rewrite_status::rewritten);
        check(io.started);
        check(io.output == expected);
    }
    return 0;
}
