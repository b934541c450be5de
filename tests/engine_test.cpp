// The replacement engine on bytes in memory, at every block size it allows.
#include "replace.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace {

// An in-memory pair of streams. start() may only copy bytes that were read
// already; any misuse is recorded rather than asserted, so the test that
// drives it can report it with its case.
struct memory_io {
    std::string input;
    size_t position = 0;
    size_t max_read = SIZE_MAX; // to hand out short reads
    long long fail_read_at = -1; // read returns -1 once this many bytes were read
    bool fail_start = false;
    bool fail_write = false;

    std::string output;
    int start_calls = 0;
    bool misuse = false;

    static long long read(void* context, char* data, size_t size) {
        auto& self = *static_cast<memory_io*>(context);
        if (self.fail_read_at >= 0 && self.position >= static_cast<size_t>(self.fail_read_at)) return -1;
        size_t count = std::min({size, self.max_read, self.input.size() - self.position});
        std::copy_n(self.input.data() + self.position, count, data);
        self.position += count;
        return static_cast<long long>(count);
    }
    static bool start(void* context, uint64_t length) {
        auto& self = *static_cast<memory_io*>(context);
        ++self.start_calls;
        if (self.start_calls > 1 || length > self.position) self.misuse = true;
        if (self.fail_start) return false;
        self.output.assign(self.input, 0, static_cast<size_t>(std::min<uint64_t>(length, self.input.size())));
        return true;
    }
    static bool write(void* context, const char* data, size_t size) {
        auto& self = *static_cast<memory_io*>(context);
        if (self.start_calls == 0) self.misuse = true;
        if (self.fail_write) return false;
        self.output.append(data, size);
        return true;
    }
    rewrite_io io() { return rewrite_io{this, &memory_io::read, &memory_io::start, &memory_io::write}; }
};

struct engine_case {
    std::string name;
    std::string search;
    std::string replacement;
    std::string input;
    std::string expected;
    uint64_t replaced;
};

std::string repeat(const std::string& text, size_t count) {
    std::string result;
    result.reserve(text.size() * count);
    for (size_t i = 0; i < count; ++i) result += text;
    return result;
}

std::string bytes(const char* data, size_t size) { return std::string(data, size); }

// A 3000-character line of 'x' with "ab" at its start, across offset 1023
// and at its end.
engine_case long_line_case() {
    std::string input(3000, 'x');
    std::string expected = input;
    for (size_t at : {2998u, 1022u, 0u}) {
        input.replace(at, 2, "ab");
        expected.replace(at, 2, "#");
    }
    return {"long_line_across_1023", "ab", "#", input + "\r\n" + input, expected + "\r\n" + expected, 6};
}

// One line much longer than the default block, dense with occurrences at
// shifting offsets, so that occurrences meet the block edges.
engine_case line_longer_than_block_case() {
    std::string input;
    std::string expected;
    uint64_t count = 0;
    for (size_t i = 0; input.size() < 3 * default_block_size; ++i) {
        std::string gap(i % 7, 'x');
        input += gap + "abc";
        expected += gap + "Q";
        ++count;
    }
    return {"line_longer_than_block", "abc", "Q", input + "\n", expected + "\n", count};
}

// Texts of every short length, replaced by shorter, equal and longer ones:
// short texts are copied by hand, a few bytes at a time.
std::vector<engine_case> short_length_cases() {
    std::vector<engine_case> cases;
    for (size_t length = 1; length <= 20; ++length) {
        std::string search(length, 's');
        search.back() = 'e';
        for (size_t other : {length - 1, length, length + 1}) {
            std::string replacement;
            for (size_t i = 0; i < other; ++i) replacement += static_cast<char>('A' + i);
            std::string name = "length_" + std::to_string(length) + "_by_" + std::to_string(other);
            cases.push_back({name, search, replacement, "x" + search + "yy" + search + "\n" + search,
                             "x" + replacement + "yy" + replacement + "\n" + replacement, 3});
        }
    }
    return cases;
}

std::vector<engine_case> engine_cases() {
    const std::string long_text(100, 'L');
    std::vector<engine_case> cases = short_length_cases();
    std::vector<engine_case> fixed = {
        // Occurrences never overlap and inserted text is never searched again.
        {"overlap_aa", "aa", "b", "aaa", "ba", 1},
        {"overlap_growth", "a", "aa", "abca", "aabcaa", 2},
        {"overlap_removal", "ab", "", "aabbab", "ab", 2},
        {"same_length_not_searched_again", "ab", "aa", "abb\nabbabb", "aab\naabaab", 3},
        {"overlap_per_line", "aa", "b", "aaa\naaa\n", "ba\nba\n", 2},
        {"empty_replacement", "x", "", "xaxbx\nx", "ab\n", 4},
        {"whole_input", "abc", "Z", "abc", "Z", 1},
        // Line ends are written back as read.
        {"crlf_kept", "foo", "bar", "foo\r\nxfoo\r\n", "bar\r\nxbar\r\n", 2},
        {"lf_kept", "foo", "bar", "a foo\nfoo\n", "a bar\nbar\n", 2},
        {"mixed_line_ends", "foo", "bar", "foo\r\nfoo\nfoo\r\n", "bar\r\nbar\nbar\r\n", 3},
        {"no_final_line_end", "foo", "bar", "x\nfoo", "x\nbar", 1},
        {"empty_lines_kept", "a", "b", "\n\r\n\na\n\n", "\n\r\n\nb\n\n", 1},
        // A lone CR is an ordinary byte; the CR of a CR LF is not.
        {"lone_cr_in_search", "o\rf", "-", "fo\rfoo\n", "f-oo\n", 1},
        {"cr_search", "\r", "<CR>", "a\rb\r\nc\r", "a<CR>b\r\nc<CR>", 2},
        {"cr_before_crlf", "\r", "X", "a\r\r\n", "aX\r\n", 1},
        {"search_ending_in_cr", "x\r", "Y", "x\r\nx\rx\r", "x\r\nYY", 2},
        {"search_ending_in_cr_at_end_of_line", "x\r", "Y", "ax\r\nbx\r\r\n", "ax\r\nbY\r\n", 1},
        // A search text holding a line feed never matches.
        {"search_with_lf", "a\nb", "X", "a\nb\n", "a\nb\n", 0},
        {"search_lf_alone", "\n", "X", "a\nb\n", "a\nb\n", 0},
        {"search_crlf", "\r\n", "X", "a\r\nb\r\n", "a\r\nb\r\n", 0},
        {"search_across_lines", "ab", "X", "a\nb\na\r\nb", "a\nb\na\r\nb", 0},
        // A partial occurrence at the end of a line or of the input is data.
        {"partial_at_end", "abc", "X", "xxab", "xxab", 0},
        {"partial_before_line_end", "abc", "X", "ab\ncabc", "ab\ncX", 1},
        {"search_longer_than_input", "abcdef", "X", "abc", "abc", 0},
        {"empty_input", "a", "b", "", "", 0},
        {"empty_search_never_matches", "", "X", "abc\n", "abc\n", 0},
        // Every byte is data.
        {"nul_in_search", bytes("a\0b", 3), "N", bytes("xa\0b\0\n", 6), bytes("xN\0\n", 4), 1},
        {"nul_in_replacement", "b", bytes("\0\0", 2), "abc\n", bytes("a\0\0c\n", 5), 1},
        {"ctrl_z_is_data", "y", "Y", "a\x1a" "y\n\x1ay", "a\x1aY\n\x1aY", 2},
        {"ctrl_z_search", "\x1a", "Z", "a\x1a\x1a\n", "aZZ\n", 2},
        // Replacements longer than the search text, and holding line feeds.
        {"growth", "a", long_text, "aaaa\na", repeat(long_text, 4) + "\n" + long_text, 5},
        {"growth_past_output_block", "a", long_text, std::string(10000, 'a'), repeat(long_text, 10000), 10000},
        {"replacement_with_lf", "b", "\n", "abc\r\nb", "a\nc\r\n\n", 2},
        {"replacement_with_search_text", "ab", "abab", "abab", "abababab", 2},
        long_line_case(),
        line_longer_than_block_case(),
    };
    cases.insert(cases.end(), fixed.begin(), fixed.end());
    return cases;
}

// Runs one case and returns the bytes it gave (the input itself when the
// output was never started), checking the stream protocol on the way.
std::string run_case(const engine_case& c, size_t block_size, size_t max_read = SIZE_MAX) {
    memory_io io;
    io.input = c.input;
    io.max_read = max_read;
    std::vector<char> storage;
    rewrite_result result = rewrite_stream(io.io(), c.search, c.replacement, storage, block_size);
    EXPECT_FALSE(io.misuse) << "start called twice, late, or past what was read";
    EXPECT_EQ(result.replaced, c.replaced);
    if (c.replaced == 0) {
        EXPECT_EQ(result.status, rewrite_status::unchanged);
        EXPECT_EQ(io.start_calls, 0);
        EXPECT_TRUE(io.output.empty());
        return c.input;
    }
    EXPECT_EQ(result.status, rewrite_status::rewritten);
    EXPECT_EQ(io.start_calls, 1);
    return io.output;
}

TEST(RewriteStream, CasesGiveTheSameBytesAtEveryBlockSize) {
    for (const engine_case& c : engine_cases()) {
        std::vector<size_t> sizes = {default_block_size, c.search.size() + 1, c.search.size() + 2,
                                     c.search.size() + 3};
        for (size_t block_size : sizes) {
            SCOPED_TRACE("case " + c.name + ", block size " + std::to_string(block_size));
            std::string got = run_case(c, block_size);
            // Printing a megabyte on failure helps nobody; compare first.
            if (got != c.expected) {
                ADD_FAILURE() << "output differs; got " << got.size() << " bytes, expected "
                              << c.expected.size()
                              << (got.size() < 200 ? "\n  got:      " + ::testing::PrintToString(got) +
                                                         "\n  expected: " + ::testing::PrintToString(c.expected)
                                                   : std::string());
            }
        }
    }
}

// The read callback may hand out fewer bytes than asked for.
TEST(RewriteStream, ShortReadsGiveTheSameBytes) {
    for (const engine_case& c : engine_cases()) {
        if (c.input.size() > 100000) continue; // one byte per call would only be slow
        for (size_t max_read : {1u, 3u}) {
            SCOPED_TRACE("case " + c.name + ", reads of at most " + std::to_string(max_read));
            EXPECT_EQ(run_case(c, default_block_size, max_read), c.expected);
        }
    }
}

TEST(RewriteStream, NoOccurrenceReadsAllAndWritesNothing) {
    memory_io io;
    io.input = "one\r\ntwo\nthree";
    std::vector<char> storage;
    rewrite_result result = rewrite_stream(io.io(), "four", "4", storage, 5);
    EXPECT_EQ(result.status, rewrite_status::unchanged);
    EXPECT_EQ(result.replaced, 0u);
    EXPECT_EQ(io.start_calls, 0);
    EXPECT_TRUE(io.output.empty());
    EXPECT_EQ(io.position, io.input.size());
}

TEST(RewriteStream, ReadAndWriteFailuresAreReported) {
    struct failure_case {
        const char* name;
        std::string input;
        long long fail_read_at;
        bool fail_start;
        bool fail_write;
        rewrite_status expected;
    };
    const std::string many = repeat("xxfooxx\n", 100);
    const std::vector<failure_case> cases = {
        {"read fails at once", many, 0, false, false, rewrite_status::read_failed},
        {"read fails before any occurrence", "abc\n" + many, 2, false, false, rewrite_status::read_failed},
        {"read fails after a replacement", many, 300, false, false, rewrite_status::read_failed},
        {"read fails in an input without occurrence", repeat("x\n", 200), 100, false, false,
         rewrite_status::read_failed},
        {"start fails", many, -1, true, false, rewrite_status::write_failed},
        {"write fails", many, -1, false, true, rewrite_status::write_failed},
    };
    for (const failure_case& c : cases) {
        for (size_t block_size : {size_t{4}, size_t{64}, default_block_size}) {
            SCOPED_TRACE(std::string(c.name) + ", block size " + std::to_string(block_size));
            memory_io io;
            io.input = c.input;
            io.fail_read_at = c.fail_read_at;
            io.fail_start = c.fail_start;
            io.fail_write = c.fail_write;
            io.max_read = 50; // so the failure point is reached mid-input
            std::vector<char> storage;
            EXPECT_EQ(rewrite_stream(io.io(), "foo", "bar", storage, block_size).status, c.expected);
        }
    }
}

} // namespace
