// The engine alone, bytes in memory to bytes in memory, so that work on the
// scan and the output path can be measured without the disk. Also the
// substring search against the alternatives one could use instead.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "replace.h"
#include "substring.h"

namespace {

constexpr size_t text_size = 64u << 20;
constexpr size_t line_length = 60;

// The search text of the dense input, and texts that never occur: one whose
// first byte never occurs, one made of frequent letters.
constexpr std::string_view dense_search = "qxz";
constexpr std::string_view same_length = "QXZ";
constexpr std::string_view four_times = "QXZ-QXZ-QXZ-";
constexpr std::string_view absent_rare = "qvw";
constexpr std::string_view absent_common = "eeh";

const char* const words[] = {
    "the",   "and",   "of",     "to",    "in",     "is",     "that",   "for",   "it",
    "as",    "with",  "was",    "on",    "be",     "by",     "at",     "this",  "have",
    "from",  "or",    "one",    "had",   "not",    "but",    "what",   "all",   "were",
    "when",  "we",    "there",  "can",   "an",     "your",   "which",  "their", "said",
    "each",  "about", "how",    "up",    "out",    "them",   "then",   "she",   "many",
    "some",  "so",    "these",  "would", "other",  "into",   "has",    "more",  "her",
    "two",   "like",  "him",    "see",   "time",   "could",  "make",   "than",  "first",
    "been",  "its",   "who",    "now",   "people", "made",   "over",   "did",   "down",
    "only",  "way",   "find",   "use",   "may",    "water",  "long",   "little", "very",
    "after", "words", "called", "just",  "where",  "most",   "know",   "get",   "through",
    "back",  "much",  "before", "go",    "good",   "new",    "write",  "our",   "used",
    "number", "great", "tell",  "small", "every",  "found",  "still",  "between", "name",
};

// A deterministic generator; the same input on every machine.
struct generator {
    uint64_t state;
    uint32_t next() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return static_cast<uint32_t>(state >> 11);
    }
};

// Text lines of about `line_length` characters; about one word in
// `search_every` is the dense search text (0: never). With `one_line`, the
// lines are joined by spaces and only the last ends.
std::string make_text(size_t size, unsigned search_every, bool one_line) {
    generator random{0x9e3779b97f4a7c15u};
    std::string text;
    text.reserve(size + 2 * line_length);
    size_t line_start = 0;
    while (text.size() < size) {
        std::string_view word = words[random.next() % std::size(words)];
        if (search_every != 0 && random.next() % search_every == 0)
            word = dense_search;
        if (text.size() - line_start + word.size() > line_length) {
            text += one_line ? ' ' : '\n';
            line_start = text.size();
        } else if (text.size() != line_start) {
            text += ' ';
        }
        text += word;
    }
    text += '\n';
    return text;
}

const std::string& dense_text() {
    static const std::string text = make_text(text_size, 12, false);
    return text;
}

const std::string& one_line_text() {
    static const std::string text = make_text(text_size, 12, true);
    return text;
}

// The input is read from memory like from a file; the output goes into a
// buffer allocated once, as large as the biggest output can be.
struct memory_io {
    std::string_view input;
    size_t read_at = 0;
    std::vector<char> output;
    size_t written = 0;

    static long long read(void* context, char* data, size_t size) {
        auto& io = *static_cast<memory_io*>(context);
        size_t n = std::min(size, io.input.size() - io.read_at);
        std::memcpy(data, io.input.data() + io.read_at, n);
        io.read_at += n;
        return static_cast<long long>(n);
    }
    static bool start(void* context, uint64_t length) {
        auto& io = *static_cast<memory_io*>(context);
        std::memcpy(io.output.data(), io.input.data(), length);
        io.written = length;
        return true;
    }
    static bool write(void* context, const char* data, size_t size) {
        auto& io = *static_cast<memory_io*>(context);
        if (size > io.output.size() - io.written)
            return false;
        std::memcpy(io.output.data() + io.written, data, size);
        io.written += size;
        return true;
    }
};

void run_rewrite(benchmark::State& state, const std::string& input, std::string_view search,
                 std::string_view replacement, rewrite_status expected) {
    memory_io io;
    io.input = input;
    size_t growth = (replacement.size() + search.size() - 1) / search.size();
    io.output.resize(input.size() * std::max<size_t>(growth, 1));
    std::memset(io.output.data(), 0, io.output.size()); // fault the pages in once
    rewrite_io streams{&io, memory_io::read, memory_io::start, memory_io::write};
    uint64_t replaced = 0;
    std::vector<char> storage; // kept from one run to the next, as a run of the tool does
    for (auto _ : state) {
        io.read_at = 0;
        io.written = 0;
        rewrite_result result = rewrite_stream(streams, search, replacement, storage);
        if (result.status != expected) {
            state.SkipWithError("unexpected rewrite status");
            break;
        }
        replaced = result.replaced;
        benchmark::DoNotOptimize(io.output.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.size()));
    state.counters["replaced"] = static_cast<double>(replaced);
}

void rewrite_dense(benchmark::State& state) {
    run_rewrite(state, dense_text(), dense_search, same_length, rewrite_status::rewritten);
}
void rewrite_growth(benchmark::State& state) {
    run_rewrite(state, dense_text(), dense_search, four_times, rewrite_status::rewritten);
}
void rewrite_none(benchmark::State& state) {
    run_rewrite(state, dense_text(), absent_rare, same_length, rewrite_status::unchanged);
}
void rewrite_none_common_letters(benchmark::State& state) {
    run_rewrite(state, dense_text(), absent_common, same_length, rewrite_status::unchanged);
}
void rewrite_one_line(benchmark::State& state) {
    run_rewrite(state, one_line_text(), dense_search, same_length, rewrite_status::rewritten);
}

BENCHMARK(rewrite_dense)->Unit(benchmark::kMillisecond);
BENCHMARK(rewrite_growth)->Unit(benchmark::kMillisecond);
BENCHMARK(rewrite_none)->Unit(benchmark::kMillisecond);
BENCHMARK(rewrite_none_common_letters)->Unit(benchmark::kMillisecond);
BENCHMARK(rewrite_one_line)->Unit(benchmark::kMillisecond);

// The substring searches, each over the whole dense text for a needle that
// never occurs, in the engine's calling convention: the offset of the first
// occurrence starting before `limit`, `limit` when there is none.
using search_function = size_t (*)(const char* data, size_t limit, std::string_view needle);

size_t search_engine(const char* data, size_t limit, std::string_view needle) {
    return find_substring(data, 0, limit, needle);
}

size_t search_memmem(const char* data, size_t limit, std::string_view needle) {
    const void* hit = memmem(data, limit + needle.size() - 1, needle.data(), needle.size());
    return hit ? static_cast<const char*>(hit) - data : limit;
}

size_t search_horspool(const char* data, size_t limit, std::string_view needle) {
    const char* end = data + limit + needle.size() - 1;
    const char* hit = std::search(
        data, end, std::boyer_moore_horspool_searcher(needle.begin(), needle.end()));
    return hit == end ? limit : static_cast<size_t>(hit - data);
}

size_t search_string_view(const char* data, size_t limit, std::string_view needle) {
    size_t at = std::string_view(data, limit + needle.size() - 1).find(needle);
    return at == std::string_view::npos ? limit : at;
}

void run_search(benchmark::State& state, search_function search, std::string_view needle) {
    const std::string& text = dense_text();
    size_t limit = text.size() - needle.size() + 1;
    if (text.find(needle) != std::string::npos) {
        state.SkipWithError("the needle occurs in the input");
        return;
    }
    for (auto _ : state) {
        size_t at = search(text.data(), limit, needle);
        benchmark::DoNotOptimize(at);
        if (at != limit) {
            state.SkipWithError("found a needle that is not there");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

#define SEARCH_BENCHMARK(function)                                                            \
    BENCHMARK_CAPTURE(run_search, function##_rare_first_byte, function, absent_rare)          \
        ->Unit(benchmark::kMillisecond);                                                      \
    BENCHMARK_CAPTURE(run_search, function##_common_letters, function, absent_common)         \
        ->Unit(benchmark::kMillisecond)

SEARCH_BENCHMARK(search_engine);
SEARCH_BENCHMARK(search_memmem);
SEARCH_BENCHMARK(search_horspool);
SEARCH_BENCHMARK(search_string_view);

} // namespace

BENCHMARK_MAIN();
