// Every call into the operating system lives behind this header. One .cpp
// per operating system implements it and defines the types declared here
// without a body; callers hold them through `owned` and never look inside.
//
// Paths are byte strings exactly as the command line or a script gives
// them. On Linux they go to the system unchanged. On Windows they are taken
// in the process's ANSI code page (as the start-up code hands the arguments
// to main) and turned into UTF-16 here, full paths in the "\\?\" form, so
// that no limit shorter than the system's own applies. A path holding a NUL
// byte names nothing. The texts that are searched and written are bytes and
// are never converted.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

// An open file for reading; closes itself. A default one is closed.
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
    not_writable,    // read-only (for root too when it has no write bit at all),
                     // append-only or immutable, or in a directory where no file
                     // may be created or removed
    link_refused,    // a symbolic link the system would not follow for us
    temp_taken,      // something already bears the temporary name
    busy,            // another run held the file for longer than the wait allows
    read_failed,
    write_failed,    // includes a full disk and a failed flush to disk
    changed,         // another program changed the file while it was rewritten
    commit_failed,   // the replace of the file by its new content failed
    temp_left,       // a failed pass could not remove its temporary file
};

// What a run keeps from one commit to the next: the commits whose new names
// are not yet durable.
struct run;
// A file held for rewriting: open for reading, and held against other runs
// of this tool on the same file (never against other programs) until it is
// closed. Closing it changes nothing on disk.
struct target;
// The new content of a target until it takes the target's place. Until then
// it has no name where the system allows it; else it bears the temporary
// name (the target's name with ".tmp" appended) and the system removes it if
// the process dies. Closing it uncommitted removes it as discard_temp does.
struct temp_file;

struct closer {
    void operator()(run* what) const;
    void operator()(target* what) const;
    void operator()(temp_file* what) const;
};
template <typename type>
using owned = std::unique_ptr<type, closer>;

// Starts a run: a message written to a closed pipe or a write past a size
// limit fails as an ordinary write does, and no failure brings up a dialog
// or ends the process. Called once, before the run does anything. Changes
// nothing on disk.
owned<run> start_run();

// How long a run waits for another run that holds the same file: long
// enough for that run to rewrite a very large file.
constexpr std::chrono::milliseconds default_wait_limit = std::chrono::minutes(10);

// Opens `path` for a rewrite. Follows symbolic links where the system would
// (on Linux, a link in a sticky, world-writable directory only when it
// belongs to us or to the directory's owner); the file they lead to is
// rewritten beside itself. Refuses anything but a regular file on disk, a
// file marked read-only (a file without any write bit on Linux, for root
// too), one this process may not read or write, append-only or immutable
// files and directories, a directory where no file may be created or
// removed, and a file whose temporary name is taken. Waits up to
// `wait_limit` for another run that holds the same file, then fails with
// failure::busy; the checks are made on the file found once it is held.
// Nothing on disk changes (on Windows, whether the folder takes the
// temporary file is asked by creating it and letting the system remove it
// at once; failure::temp_left when it could not).
failure open_target(const std::string& path, owned<target>& result,
                    std::chrono::milliseconds wait_limit = default_wait_limit);

// Reads the next bytes of a target. Returns the count, 0 at the end, -1 on
// error and once it has grown past the size it had when it was opened:
// another program is writing to it, and the pass would fail anyway.
long long read_target(target& from, char* data, size_t size);

// Creates the temporary file beside `of`, readable by nobody who may not
// read the target. Fails when the name is too long for ".tmp". On failure
// nothing is left.
failure create_temp(target& of, owned<temp_file>& result);

// Appends the first `length` bytes of the target to the temporary file,
// whatever has been read of it. On failure (a full disk, a target that
// shrank) the temporary file holds part of them.
failure append_prefix(target& from, temp_file& to, uint64_t length);

// Appends `size` bytes to the temporary file; on failure it holds part of
// them.
failure append(temp_file& to, const char* data, size_t size);

// Gives the temporary file the target's attributes (on Linux the owner,
// group, permission bits with set-ID bits, access control list and extended
// attributes with capabilities; on Windows the file attributes, the access
// control list and the creation time), each as far as this process may set
// it and none that the target lacks; flushes it to stable storage; and puts
// it in the target's place in one step, unless the target changed since it
// was opened (failure::changed). At every instant the target's path holds
// the whole old or the whole new content. On failure the target is as it
// was and the temporary file may still bear its name: remove it with
// discard_temp. Where the new name needs a further flush to be durable,
// `in` keeps it for make_durable; commits in one directory share it.
failure commit(run& in, target& into, temp_file& from);

// Removes a temporary file that will not be committed; false when its name
// could not be removed (it then stays on disk).
bool discard_temp(temp_file& temp);

// Makes every commit of the run so far durable; false when that, or an
// earlier flush during the run, failed. A run calls it before it reports
// success.
bool make_durable(run& of);

} // namespace platform
