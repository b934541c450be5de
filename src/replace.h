// The replacement engine: every occurrence of a literal text, within lines,
// replaced by another text, streamed through one fixed block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform.h"

// Size of the block the engine reads into; memory does not grow beyond it
// (plus an output block of the same size) whatever the size of a file or the
// length of a line. A search text longer than half a block gets a block
// twice its length.
constexpr size_t default_block_size = 256 * 1024;

// The two streams a rewrite runs between. The output is started only at the
// first replacement, so an input without an occurrence is only ever read.
struct rewrite_io {
    void* context;
    // Fills up to `size` bytes; returns the count, 0 at the end, -1 on error.
    long long (*read)(void* context, char* data, size_t size);
    // Starts the output with the first `length` bytes of the input; they
    // have been read already and hold no occurrence.
    bool (*start)(void* context, uint64_t length);
    // Appends to the output.
    bool (*write)(void* context, const char* data, size_t size);
};

enum class rewrite_status { unchanged, rewritten, read_failed, write_failed };

struct rewrite_result {
    rewrite_status status;
    uint64_t replaced; // occurrences replaced
};

// Copies the input to the output with every occurrence of `search` replaced
// by `replacement`: left to right, never overlapping, never searching the
// inserted text again, never across a line end; line ends and every other
// byte pass unchanged. A `search` that is empty or holds a line feed never
// matches. `storage` holds the engine's two blocks; it is grown to what
// they need and may be kept for the next call, so that a run of many passes
// does not allocate for each. `block_size` is for tests; it is raised to
// search.size() + 1.
rewrite_result rewrite_stream(const rewrite_io& io, std::string_view search,
                              std::string_view replacement, std::vector<char>& storage,
                              size_t block_size = default_block_size);

// What a run keeps from one rewrite to the next: the platform's record of
// commits still to be made durable, and the engine's blocks. Made once, at
// the start of a run (it sets up the process, see platform::start_run).
struct rewrite_run {
    platform::owned<platform::run> platform = platform::start_run();
    std::vector<char> storage;
};

// Rewrites the file at `path` in place: the new content goes to a temporary
// file beside it (the name with ".tmp" appended), is flushed to disk and
// renamed over the file in one step, so the path holds either the whole old
// or the whole new content. A file without an occurrence is not touched, nor
// is one where `replacement` equals `search`.
// On failure the file is as it was and no temporary file remains.
// Returns platform::failure::none on success.
platform::failure rewrite_file(rewrite_run& run, const std::string& path,
                               std::string_view search, std::string_view replacement);

// Makes the renames of the run's rewrites so far durable; a run calls it
// before it reports its result. False when that failed.
bool flush_rewrites(rewrite_run& run);

// rewrite_file as the callers use it: 1 on success, 0 on failure (the caller
// prints the message). An empty search text is refused.
int replace_in_file(rewrite_run& run, const std::string& path, std::string_view search,
                    std::string_view replacement);
