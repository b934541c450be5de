#include "replace.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "substring.h"

namespace {

// The carriage return of a CR LF pair belongs to the line end.
bool takes_line_end(const char* data, size_t size, size_t at, std::string_view search) {
    size_t end = at + search.size();
    return search.back() == '\r' && end < size && data[end] == '\n';
}

// Copies up to 16 bytes without a call: search and replacement texts are
// mostly short, and a library call per occurrence would cost more than the
// copy. Two overlapping moves of a fixed size cover every length.
void copy_short(char* to, const char* from, size_t size) {
    if (size > 16) {
        std::memcpy(to, from, size);
    } else if (size >= 8) {
        uint64_t head, tail;
        std::memcpy(&head, from, 8);
        std::memcpy(&tail, from + size - 8, 8);
        std::memcpy(to, &head, 8);
        std::memcpy(to + size - 8, &tail, 8);
    } else if (size >= 4) {
        uint32_t head, tail;
        std::memcpy(&head, from, 4);
        std::memcpy(&tail, from + size - 4, 4);
        std::memcpy(to, &head, 4);
        std::memcpy(to + size - 4, &tail, 4);
    } else if (size > 0) {
        to[0] = from[0];
        to[size / 2] = from[size / 2];
        to[size - 1] = from[size - 1];
    }
}

// Collects output in a fixed block; spans too long for it go out directly.
struct output {
    const rewrite_io& io;
    char* data;
    size_t capacity;
    size_t size = 0;
    bool started = false;
    bool failed = false;
};

void flush(output& out) {
    if (out.size > 0 && !out.failed && !out.io.write(out.io.context, out.data, out.size))
        out.failed = true;
    out.size = 0;
}

// Long spans go out straight from where they lie instead of being copied.
void put(output& out, const char* data, size_t size) {
    if (size == 0)
        return;
    if (size >= out.capacity / 2) {
        flush(out);
        if (!out.failed && !out.io.write(out.io.context, data, size))
            out.failed = true;
        return;
    }
    if (size > out.capacity - out.size)
        flush(out);
    copy_short(out.data + out.size, data, size);
    out.size += size;
}

void start(output& out, uint64_t consumed) {
    if (out.started)
        return;
    out.started = true;
    if (!out.io.start(out.io.context, consumed))
        out.failed = true;
}

// One block for input and one for output.
char* working_storage(std::vector<char>& storage, size_t size) {
    if (storage.size() < size)
        storage.resize(size);
    return storage.data();
}

// Occurrences that start before the position returned can be decided: their
// end and the byte after it (which tells a CR LF) have been read, or the
// input has ended.
size_t decidable_limit(size_t size, size_t search_size, bool at_end) {
    if (at_end)
        return size >= search_size ? size - search_size + 1 : 0;
    return size > search_size ? size - search_size : 0;
}

// How far a block has been dealt with: written out up to `written`, and
// searched up to `searched` (where the search resumes, behind an occurrence).
struct progress {
    size_t written;
    size_t searched;
};

// Occurrences are looked for in batches, so that dense ones cost little more
// than the scan itself.
constexpr size_t batch_size = 256;

struct occurrences {
    size_t at[batch_size];
    size_t count;
};

// The next batch of occurrences that start in block[from, limit); those
// that take a line end's carriage return are dropped. Returns where the
// search goes on, or `limit` when the batch holds the last ones.
size_t next_batch(const char* block, size_t size, size_t from, size_t limit,
                  std::string_view search, occurrences& found) {
    size_t count = find_each(block, from, limit, search, found.at, batch_size);
    size_t resume = count == batch_size ? found.at[count - 1] + search.size() : limit;
    found.count = 0;
    for (size_t i = 0; i < count; ++i) {
        if (!takes_line_end(block, size, found.at[i], search))
            found.at[found.count++] = found.at[i];
    }
    return resume;
}

// Replaces the occurrences that start before `limit`, writing the block
// out in spans.
progress replace_in_block(const char* block, size_t size, size_t limit, std::string_view search,
                          std::string_view replacement, uint64_t consumed, output& out,
                          rewrite_result& result) {
    occurrences found;
    size_t position = 0;
    for (size_t from = 0; from < limit && !out.failed;) {
        from = next_batch(block, size, from, limit, search, found);
        if (found.count > 0)
            start(out, consumed);
        for (size_t i = 0; i < found.count; ++i) {
            put(out, block + position, found.at[i] - position);
            put(out, replacement.data(), replacement.size());
            position = found.at[i] + search.size();
        }
        result.replaced += found.count;
    }
    return {position, position};
}

// A replacement as long as the search text is written over each occurrence
// within the block, which then goes out whole.
progress patch_in_block(char* block, size_t size, size_t limit, std::string_view search,
                        std::string_view replacement, uint64_t consumed, output& out,
                        rewrite_result& result) {
    occurrences found;
    size_t position = 0;
    for (size_t from = 0; from < limit;) {
        from = next_batch(block, size, from, limit, search, found);
        if (found.count > 0)
            start(out, consumed);
        for (size_t i = 0; i < found.count; ++i)
            copy_short(block + found.at[i], replacement.data(), replacement.size());
        if (found.count > 0)
            position = found.at[found.count - 1] + search.size();
        result.replaced += found.count;
    }
    return {0, position};
}

} // namespace

rewrite_result rewrite_stream(const rewrite_io& io, std::string_view search,
                              std::string_view replacement, std::vector<char>& storage,
                              size_t block_size) {
    rewrite_result result{rewrite_status::unchanged, 0};
    if (search.empty() || search.find('\n') != std::string_view::npos)
        return result;
    const size_t capacity = std::max(block_size, search.size() + 1);
    char* block = working_storage(storage, 2 * capacity);
    output out{io, block + capacity, capacity};
    uint64_t consumed = 0; // input offset of block[0]
    size_t size = 0;
    for (;;) {
        long long n = io.read(io.context, block + size, capacity - size);
        if (n < 0)
            return {rewrite_status::read_failed, result.replaced};
        bool at_end = n == 0;
        size += static_cast<size_t>(n);
        size_t limit = decidable_limit(size, search.size(), at_end);
        progress done = replacement.size() == search.size()
                          ? patch_in_block(block, size, limit, search, replacement, consumed, out,
                                           result)
                          : replace_in_block(block, size, limit, search, replacement, consumed,
                                             out, result);
        if (out.failed)
            return {rewrite_status::write_failed, result.replaced};
        size_t settled = at_end ? size : std::max(done.searched, limit);
        if (out.started)
            put(out, block + done.written, settled - done.written);
        if (at_end)
            break;
        // The unsettled tail is shorter than the search text.
        std::memmove(block, block + settled, size - settled);
        size -= settled;
        consumed += settled;
    }
    if (!out.started)
        return result;
    flush(out);
    if (out.failed)
        return {rewrite_status::write_failed, result.replaced};
    result.status = rewrite_status::rewritten;
    return result;
}

namespace {

// Connects the engine to a target file and its temporary file.
struct file_io {
    platform::target& target;
    platform::owned<platform::temp_file> temp;
    platform::failure failed = platform::failure::none;
};

long long read_target(void* context, char* data, size_t size) {
    return platform::read_target(static_cast<file_io*>(context)->target, data, size);
}

bool start_temp(void* context, uint64_t length) {
    auto& io = *static_cast<file_io*>(context);
    io.failed = platform::create_temp(io.target, io.temp);
    if (io.failed == platform::failure::none)
        io.failed = platform::append_prefix(io.target, *io.temp, length);
    return io.failed == platform::failure::none;
}

bool write_temp(void* context, const char* data, size_t size) {
    auto& io = *static_cast<file_io*>(context);
    io.failed = platform::append(*io.temp, data, size);
    return io.failed == platform::failure::none;
}

// Ends a rewrite: a failed pass removes its temporary file, and says so
// when it could not.
platform::failure finish_rewrite(file_io& files, platform::failure failed) {
    if (failed != platform::failure::none && files.temp && !platform::discard_temp(*files.temp))
        return platform::failure::temp_left;
    return failed;
}

} // namespace

platform::failure rewrite_file(rewrite_run& run, const std::string& path,
                               std::string_view search, std::string_view replacement) {
    platform::owned<platform::target> target;
    platform::failure failed = platform::open_target(path, target);
    if (failed != platform::failure::none)
        return failed;
    // Replacing a text by itself changes nothing: the file stays as it is.
    if (search == replacement)
        return platform::failure::none;
    file_io files{*target, {}, platform::failure::none};
    rewrite_io io{&files, read_target, start_temp, write_temp};
    // A long search text needs room for two of it; the block is fixed otherwise.
    size_t block_size = std::max(default_block_size, 2 * search.size());
    rewrite_result result = rewrite_stream(io, search, replacement, run.storage, block_size);
    switch (result.status) {
    case rewrite_status::unchanged:
        return platform::failure::none;
    case rewrite_status::read_failed:
        return finish_rewrite(files, platform::failure::read_failed);
    case rewrite_status::write_failed:
        return finish_rewrite(files, files.failed != platform::failure::none
                                         ? files.failed
                                         : platform::failure::write_failed);
    case rewrite_status::rewritten:
        break;
    }
    return finish_rewrite(files, platform::commit(*run.platform, *target, *files.temp));
}

bool flush_rewrites(rewrite_run& run) { return platform::make_durable(*run.platform); }

int replace_in_file(rewrite_run& run, const std::string& path, std::string_view search,
                    std::string_view replacement) {
    if (search.empty())
        return 0;
    return rewrite_file(run, path, search, replacement) == platform::failure::none ? 1 : 0;
}
