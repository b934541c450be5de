// Every call into the operating system lives behind this header; one .cpp
// per operating system implements it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// An open file; closes itself. A default one is closed.
struct file {
    file() = default;
    explicit file(intptr_t handle) : handle(handle) {}
    file(file&& other) noexcept;
    file& operator=(file&& other) noexcept;
    file(const file&) = delete;
    file& operator=(const file&) = delete;
    ~file();
    bool is_open() const { return handle != -1; }

    intptr_t handle = -1;
};

// Opens a file for reading. Fails for a missing or unreadable path and for a
// directory; a pipe or a device is accepted.
bool open_for_reading(const std::string& path, file& result);

// Reads up to `size` bytes. Returns the count, 0 at the end, -1 on error.
long long read_some(file& from, char* data, size_t size);

// Makes a message written to a closed pipe, or a write past the file-size
// limit, fail as an ordinary write does instead of ending the process.
// Called once, before a run does anything.
void ignore_write_signals();

// Why a target file was refused or a rewrite failed.
enum class failure {
    none,
    not_found,       // missing, a dangling link, or no access to it
    not_regular,     // a directory, a pipe, a device...
    not_writable,    // read-only (for root too when it has no write bit at all),
                     // append-only or immutable, or in a directory where no file
                     // may be created or removed
    link_refused,    // a symbolic link the system would not follow for us
    temp_taken,      // something already bears the temporary name
    busy,            // another run held the file for longer than the wait allows
    read_failed,
    write_failed,    // includes a full disk and a failed flush to disk
    changed,         // another program changed the file while it was rewritten
    commit_failed,   // the rename into place failed
    temp_left,       // a failed pass could not remove its temporary file
};

// What tells that a file changed: any write, truncation or change of status
// moves its size or one of its times.
struct file_version {
    uint64_t size = 0;
    int64_t modified_ns = 0;
    int64_t changed_ns = 0;
    bool operator==(const file_version& other) const {
        return size == other.size && modified_ns == other.modified_ns &&
               changed_ns == other.changed_ns;
    }
};

// A file about to be rewritten, held under a lock that only runs of this tool
// take, so that two runs on the same file take turns while no other program's
// lock can hold a run up. A symbolic link is followed to the file it names;
// the lock is taken on the file that is found at `name` when it is held.
struct target {
    file data;        // the file, open for reading and writing (never written)
    file directory;   // the directory that holds it
    std::string name; // its name within `directory`
    bool temp_name_fits = true; // false when the name is too long for ".tmp"
    file_version opened;        // as it was once held
    file watch;                 // tells of changes the times may not show
    uint64_t read_so_far = 0;
};

// How long a run waits for another run that holds the same file: long enough
// for that run to rewrite a very large file.
constexpr std::chrono::milliseconds default_wait_limit = std::chrono::minutes(10);

// Opens `path` for a rewrite: follows symbolic links where the system would
// (a link in a sticky, world-writable directory only when it belongs to us or
// to the directory's owner), refuses anything but a writable regular file in
// a writable directory (a file without any write bit is refused for root
// too; append-only and immutable files and directories are refused), and
// refuses when the temporary name (the name with ".tmp" appended) is already
// taken. Waits up to `wait_limit` for any other run that holds the same file,
// then fails with failure::busy; the permissions are checked on the file
// found once it is held. Nothing on disk changes.
failure open_target(const std::string& path, target& result,
                    std::chrono::milliseconds wait_limit = default_wait_limit);

// The new content of a target, written before it takes the target's place.
// Until it is committed it has no name where the file system allows it; else
// it bears the temporary name and is removed if it is dropped uncommitted.
struct temp_file {
    temp_file() = default;
    temp_file(const temp_file&) = delete;
    temp_file& operator=(const temp_file&) = delete;
    ~temp_file();

    file data;
    file* directory = nullptr; // the target's, when the temp bears a name
    std::string name;          // empty while it has none
    uint64_t size = 0;         // bytes written so far
    uint64_t written_back = 0; // bytes already handed to the disk
    // The target's owner, group, mode and attribute names, applied once the
    // data is written: writing would clear set-ID bits and capabilities.
    uint32_t owner = 0, group = 0, mode = 0;
    int flags = 0; // how the file is kept: not dumped, no access times...
    std::string attribute_names;
};

// Reads the next bytes of a target. Returns the count, 0 at the end, -1 on
// error and once it has grown past the size it had when it was opened:
// another program is writing to it, and the pass would fail anyway.
long long read_target(target& from, char* data, size_t size);

// Creates the temporary file beside `of`, readable by nobody but the owner
// until it is committed. Fails when the name is too long for ".tmp".
failure create_temp(target& of, temp_file& result);

// Appends the first `length` bytes of the target to the temporary file. On
// failure (a full disk, or a target that shrank) the temporary file holds
// part of them; dropping it removes it.
failure copy_prefix(target& from, temp_file& to, uint64_t length);

// Appends `size` bytes to the temporary file; on failure it holds part of
// them, and dropping it removes it.
failure write_all(temp_file& to, const char* data, size_t size);

// Gives the temporary file the target's owner, group, permission bits
// (set-ID bits included), access control list and extended attributes
// (capabilities included), each as far as this process may set it and none
// that the target lacks; flushes it to stable storage; and renames it over
// the target in one step, unless the target changed since it was opened
// (failure::changed). On failure the target is as it was and the temporary
// file may still bear its name: remove it with discard_temp. The rename
// reaches the disk with the next flush_directories; commits in one directory
// share that flush.
failure commit(target& into, temp_file& from);

// Removes a temporary file that will not be committed; false when its name
// could not be removed (it then stays on disk).
bool discard_temp(temp_file& temp);

// Flushes the directories of the commits made so far to stable storage;
// false when that, or the flush of an earlier commit's directory, failed.
bool flush_directories();

} // namespace platform
