// Every call into the operating system lives behind this header; one .cpp
// per operating system implements it.
#pragma once

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

// Why a target file was refused or a rewrite failed.
enum class failure {
    none,
    not_found,       // missing, a dangling link, or no access to it
    not_regular,     // a directory, a pipe, a device...
    not_writable,    // read-only file, or a directory where no file may be created
    temp_taken,      // something already bears the temporary name
    read_failed,
    write_failed,    // includes a full disk and a failed flush to disk
    commit_failed,   // the rename into place failed
};

// A file about to be rewritten, held under an exclusive lock so that two runs
// on the same file take turns. A symbolic link is followed to the file it
// names; the lock is taken on the file that is found at `name` when it is held.
struct target {
    file data;        // the file, open for reading
    file directory;   // the directory that holds it
    std::string name; // its name within `directory`
    bool temp_name_fits = true; // false when the name is too long for ".tmp"
};

// Opens `path` for a rewrite: follows symbolic links, refuses anything but a
// writable regular file in a writable directory, and refuses when the
// temporary name (the name with ".tmp" appended) is already taken. Waits for
// any other run that holds the same file; the permissions are checked on the
// file found once it is held. Nothing on disk changes.
failure open_target(const std::string& path, target& result);

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
};

// Creates the temporary file beside `of`, readable by nobody but the owner
// until it carries the target's owner, group, permission bits, access control
// list and extended attributes (each as far as this process may set it, and
// none that the target lacks). Fails when the name is too long for ".tmp".
failure create_temp(target& of, temp_file& result);

// Appends the first `length` bytes of the target to the temporary file. On
// failure (a full disk, or a target that shrank) the temporary file holds
// part of them; dropping it removes it.
failure copy_prefix(target& from, temp_file& to, uint64_t length);

// Appends `size` bytes to the temporary file; on failure it holds part of
// them, and dropping it removes it.
failure write_all(temp_file& to, const char* data, size_t size);

// Flushes the temporary file to stable storage and renames it over the
// target in one step. On failure the target is as it was and the temporary
// file is gone. The rename reaches the disk with the next flush_directories;
// commits in one directory share that flush.
failure commit(target& into, temp_file& from);

// Flushes the directories of the commits made so far to stable storage;
// false when that, or the flush of an earlier commit's directory, failed.
bool flush_directories();

} // namespace platform
