// The platform module on Linux.
#include "platform.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <poll.h>
#include <string>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

namespace platform {

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

// The directory of the last commit, whose rename may not be on disk yet, and
// whether a flush of an earlier one failed.
struct pending_directory {
    file directory;
    dev_t device = 0;
    ino_t inode = 0;
    bool failed = false;
};

struct run {
    pending_directory pending;
};

// Held under a lock that only runs of this tool take, on the file found at
// `name` once it is held.
struct target {
    file data;        // the file, open for reading and writing (never written)
    file directory;   // the directory that holds it
    std::string name; // its name within `directory`
    bool temp_name_fits = true; // false when the name is too long for ".tmp"
    struct stat held {};        // its status once held: what it must still be
                                // at the commit, and what the new file takes
    file watch;                 // tells of changes the times may not show
    uint64_t read_so_far = 0;
};

struct temp_file {
    file data;
    file* directory = nullptr; // the target's, when the temp bears a name
    std::string name;          // empty while it has none
    uint64_t size = 0;         // bytes written so far
    uint64_t written_back = 0; // bytes already handed to the disk
    // The target's attribute names and flags (how it is kept: not dumped, no
    // access times...), applied with its owner and mode once the data is
    // written: writing would clear set-ID bits and capabilities.
    int flags = 0;
    std::string attribute_names;
};

namespace {

int fd_of(const file& f) { return static_cast<int>(f.handle); }

constexpr int max_link_hops = 40;
constexpr int max_lock_tries = 1000;
// Runs of the tool lock this one byte, far past any end of file: a program
// that locks the file's data, or the whole file with flock, never meets it.
constexpr off_t lock_offset = INT64_MAX - 1;
constexpr uint64_t write_back_step = 8 << 20;

// A path holding a NUL byte would name some other, shorter path.
bool usable_path(const std::string& path) {
    return !path.empty() && path.find('\0') == std::string::npos;
}

void split_path(const std::string& path, std::string& directory, std::string& name) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        directory = ".";
        name = path;
    } else {
        directory = slash == 0 ? "/" : path.substr(0, slash);
        name = path.substr(slash + 1);
    }
}

bool is_special_name(const std::string& name) {
    return name.empty() || name == "." || name == "..";
}

bool read_link(int directory, const std::string& name, std::string& target) {
    target.resize(256);
    for (;;) {
        ssize_t n = ::readlinkat(directory, name.c_str(), &target[0], target.size());
        if (n < 0)
            return false;
        if (static_cast<size_t>(n) < target.size()) {
            target.resize(n);
            return true;
        }
        target.resize(target.size() * 2);
    }
}

// The system's rule for following links in shared directories such as /tmp,
// applied whatever it is set to: a link in a sticky, world-writable directory
// is followed only when it belongs to us or to the directory's owner, so that
// nobody can point a file we rewrite at one of ours.
bool may_follow(int directory, const struct stat& link) {
    struct stat st;
    if (::fstat(directory, &st) != 0)
        return false;
    bool shared = (st.st_mode & (S_ISVTX | S_IWOTH)) == (S_ISVTX | S_IWOTH);
    return !shared || link.st_uid == ::geteuid() || link.st_uid == st.st_uid;
}

// Adds the components of `path` to those still to walk, the next one last;
// empty ones and "." are left out.
void push_components(const std::string& path, std::vector<std::string>& left) {
    size_t end = path.size();
    while (end > 0) {
        size_t slash = path.rfind('/', end - 1);
        size_t begin = slash == std::string::npos ? 0 : slash + 1;
        if (end > begin && path.compare(begin, end - begin, ".") != 0)
            left.push_back(path.substr(begin, end - begin));
        if (slash == std::string::npos)
            break;
        end = slash;
    }
}

bool open_start(const std::string& path, file& result) {
    int fd = ::open(path[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    result = file(fd);
    return true;
}

// Opens a directory one component at a time, so that a path of any length
// works and every symbolic link on the way is followed only where may_follow
// allows. The directories passed through need not be readable; the last is
// opened with `flags` (O_RDONLY to flush it, O_PATH to look into it).
failure open_directory(const std::string& path, int flags, file& result) {
    std::vector<std::string> left;
    push_components(path, left);
    file current;
    if (!open_start(path, current))
        return failure::not_found;
    int hops = 0;
    while (!left.empty()) {
        std::string part = std::move(left.back());
        left.pop_back();
        int at = fd_of(current);
        int fd = ::openat(at, part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0) {
            current = file(fd);
            continue;
        }
        struct stat st;
        if ((errno != ELOOP && errno != ENOTDIR) ||
            ::fstatat(at, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode))
            return failure::not_found;
        if (!may_follow(at, st))
            return failure::link_refused;
        std::string link;
        if (++hops > max_link_hops || !read_link(at, part, link) || link.empty())
            return failure::not_found;
        push_components(link, left);
        if (link[0] == '/' && !open_start(link, current))
            return failure::not_found;
    }
    int fd = ::openat(fd_of(current), ".", flags | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return failure::not_found;
    result = file(fd);
    return failure::none;
}

// A link in /proc stands for an open file rather than for the path it reads
// as, and that path may be stale (a file since removed or renamed).
bool in_proc(int directory) {
    struct statfs fs;
    return ::fstatfs(directory, &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC;
}

// What a path leads to once the links of its last component are followed.
struct located {
    file directory;        // the directory that holds it
    std::string name;      // its name there
    struct stat st {};     // its status, not followed
    bool via_proc = false; // a link in /proc was followed by its text
    struct stat proc_file {}; // the open file that link stands for
};

enum class proc_links { follow_text, stop };

// Follows the links of the last component, each only where may_follow
// allows, and opens the directory of what they lead to; a link in /proc
// is followed by its text or, with proc_links::stop, left as it is.
failure follow_links(std::string path, proc_links at_proc, int directory_flags, located& found) {
    for (int hop = 0; hop <= max_link_hops; ++hop) {
        std::string directory_path;
        split_path(path, directory_path, found.name);
        if (is_special_name(found.name))
            return failure::not_regular;
        failure failed = open_directory(directory_path, directory_flags, found.directory);
        if (failed != failure::none)
            return failed;
        int dir = fd_of(found.directory);
        if (::fstatat(dir, found.name.c_str(), &found.st, AT_SYMLINK_NOFOLLOW) != 0)
            return failure::not_found;
        if (!S_ISLNK(found.st.st_mode))
            return failure::none;
        if (!may_follow(dir, found.st))
            return failure::link_refused;
        if (in_proc(dir)) {
            if (at_proc == proc_links::stop)
                return failure::none;
            if (!found.via_proc && ::fstatat(dir, found.name.c_str(), &found.proc_file, 0) != 0)
                return failure::not_found;
            found.via_proc = true;
        }
        std::string link;
        if (!read_link(dir, found.name, link) || link.empty())
            return failure::not_found;
        path = link[0] == '/' ? link : directory_path + "/" + link;
    }
    return failure::not_found;
}

// Finds the regular file that `path` leads to: symbolic links in the last
// component are followed, so that the file they lead to is rewritten in its
// own directory and the links stay links. Anything but a regular file is
// refused here, before it is opened, so that no device is ever opened.
failure locate(const std::string& path, file& directory, std::string& name) {
    located found;
    failure failed = follow_links(path, proc_links::follow_text, O_RDONLY, found);
    if (failed != failure::none)
        return failed;
    if (!S_ISREG(found.st.st_mode))
        return failure::not_regular;
    // The path a /proc link reads as must still lead to the file it stands for.
    if (found.via_proc && (found.st.st_dev != found.proc_file.st_dev ||
                           found.st.st_ino != found.proc_file.st_ino))
        return failure::not_found;
    directory = std::move(found.directory);
    name = std::move(found.name);
    return failure::none;
}

// Whether a directory is marked append-only or immutable: nothing could be
// renamed over its files or removed from it. (Such a file cannot be opened
// for writing, so it is refused when it is opened.)
bool sealed(int fd) {
    int flags = 0;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0)
        return false; // a file system without such marks
    return (flags & (FS_APPEND_FL | FS_IMMUTABLE_FL)) != 0;
}

// Checked once the lock is held, on the file that then bears the name. A
// file without any write bit is read-only for root too.
failure check_permissions(int directory, const struct stat& held) {
    if ((held.st_mode & 0222) == 0)
        return failure::not_writable;
    if (::faccessat(directory, ".", W_OK | X_OK, AT_EACCESS) != 0)
        return failure::not_writable;
    if (sealed(directory))
        return failure::not_writable;
    return failure::none;
}

file_version version_of(const struct stat& st) {
    auto ns = [](const struct timespec& t) { return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec; };
    return {static_cast<uint64_t>(st.st_size), ns(st.st_mtim), ns(st.st_ctim)};
}

// The name under which the system opens what a descriptor holds.
std::string proc_path(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// Watches the file held for changes by other programs: on a file system with
// coarse time stamps, a write in the same clock tick as the one before moves
// neither of its times. Without inotify (or /proc) the times alone tell.
file watch_changes(int fd) {
    int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch < 0)
        return file();
    file result(watch);
    if (::inotify_add_watch(watch, proc_path(fd).c_str(),
                            IN_MODIFY | IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF) < 0)
        return file();
    return result;
}

bool change_seen(const file& watch) {
    struct pollfd ready = {fd_of(watch), POLLIN, 0};
    return watch.is_open() && ::poll(&ready, 1, 0) != 0;
}

enum class lock_result { taken, busy, foreign, failed };

// Another run's lock is a write lock on exactly our byte, which only a
// process that may write the file can take. Any other lock in the way (a
// read lock, or one over the whole file) belongs to some other program and
// must not hold the run up: it goes on unlocked, and a change made meanwhile,
// by that program or by a run that went on likewise, fails it before its
// rename.
lock_result try_lock(int fd) {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = lock_offset;
    lock.l_len = 1;
    if (::fcntl(fd, F_OFD_SETLK, &lock) == 0)
        return lock_result::taken;
    if (errno != EAGAIN && errno != EACCES && errno != EINTR)
        return lock_result::failed;
    struct flock in_way = lock;
    if (::fcntl(fd, F_OFD_GETLK, &in_way) != 0)
        return lock_result::failed;
    bool another_run = in_way.l_type == F_WRLCK && in_way.l_start == lock_offset && in_way.l_len == 1;
    return in_way.l_type == F_UNLCK || another_run ? lock_result::busy : lock_result::foreign;
}

using wait_clock = std::chrono::steady_clock;

// Sleeps a little longer each time, up to a tenth of a second: a short wait
// is noticed at once, a long one costs nothing.
bool wait_a_little(wait_clock::time_point deadline, std::chrono::milliseconds& step) {
    if (wait_clock::now() >= deadline)
        return false;
    struct timespec pause = {0, static_cast<long>(step.count()) * 1000000};
    (void)::nanosleep(&pause, nullptr); // woken early: the caller just tries again
    step = std::min<std::chrono::milliseconds>(step * 2, std::chrono::milliseconds(100));
    return true;
}

failure failure_of_open(int error, int directory, const std::string& name) {
    if (error == ELOOP || error == EISDIR)
        return failure::not_regular;
    if (error == EACCES || error == EPERM || error == EROFS || error == ETXTBSY)
        return ::faccessat(directory, name.c_str(), R_OK, AT_EACCESS) == 0 ? failure::not_writable
                                                                           : failure::not_found;
    return failure::not_found;
}

// Opens and locks the file that bears `name` once the lock is held: another
// run may have renamed its new file over the one opened first. The lock
// needs the file open for writing; nothing is ever written through it.
failure open_locked(int directory, const std::string& name, wait_clock::time_point deadline,
                    file& result, file& watch, struct stat& held) {
    auto step = std::chrono::milliseconds(1);
    for (int attempt = 0; attempt < max_lock_tries;) {
        // Non-blocking, so that a pipe swapped in at the last moment cannot
        // hang us, nor another program's lease on the file.
        int fd = ::openat(directory, name.c_str(),
                          O_RDWR | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
        if (fd < 0 && errno == EWOULDBLOCK) {
            if (!wait_a_little(deadline, step))
                return failure::busy;
            continue;
        }
        if (fd < 0)
            return failure_of_open(errno, directory, name);
        file opened(fd);
        if (::fstat(fd, &held) != 0)
            return failure::read_failed;
        if (!S_ISREG(held.st_mode))
            return failure::not_regular;
        lock_result locked;
        while ((locked = try_lock(fd)) == lock_result::busy) {
            if (!wait_a_little(deadline, step))
                return failure::busy;
        }
        if (locked == lock_result::failed)
            return failure::read_failed;
        // Watched before its status is taken, so that no change falls between.
        watch = watch_changes(fd);
        if (::fstat(fd, &held) != 0)
            return failure::read_failed;
        struct stat now;
        if (::fstatat(directory, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0)
            return failure::not_found;
        if (now.st_dev == held.st_dev && now.st_ino == held.st_ino) {
            result = std::move(opened);
            return failure::none;
        }
        ++attempt;
    }
    return failure::busy;
}

std::string temp_name_of(const std::string& name) { return name + ".tmp"; }

failure check_temp_name_free(int directory, const std::string& name, bool& fits) {
    struct stat st;
    fits = true;
    if (::fstatat(directory, temp_name_of(name).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        return failure::temp_taken;
    if (errno == ENAMETOOLONG) {
        // Only a rewrite needs the name; a file with nothing to change is left alone.
        fits = false;
        return failure::none;
    }
    return errno == ENOENT ? failure::none : failure::not_writable;
}

failure failure_of_create(int error) {
    switch (error) {
    case EEXIST:
        return failure::temp_taken;
    case EACCES:
    case EPERM:
    case EROFS:
    case ENAMETOOLONG:
        return failure::not_writable;
    default:
        return failure::write_failed;
    }
}

// User attributes and access control lists must come across. Others, such as
// security labels, may need privileges or belong to the system: they are kept
// where possible and skipped otherwise.
bool must_copy_attribute(const char* name) {
    return std::strncmp(name, "user.", 5) == 0 ||
           std::strncmp(name, "system.posix_acl_", 17) == 0;
}

bool list_attributes(int fd, std::string& names) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        ssize_t size = ::flistxattr(fd, nullptr, 0);
        if (size < 0)
            return errno == ENOTSUP;
        names.resize(size);
        if (size == 0)
            return true;
        size = ::flistxattr(fd, &names[0], names.size());
        if (size >= 0) {
            names.resize(size);
            return true;
        }
        if (errno != ERANGE)
            return false;
    }
    return false;
}

bool copy_attribute(int from, int to, const char* name) {
    std::string value;
    for (int attempt = 0; attempt < 8; ++attempt) {
        ssize_t size = ::fgetxattr(from, name, nullptr, 0);
        if (size < 0)
            return errno == ENODATA || !must_copy_attribute(name);
        value.resize(size);
        size = ::fgetxattr(from, name, &value[0], value.size());
        if (size >= 0) {
            value.resize(size);
            if (::fsetxattr(to, name, value.data(), value.size(), 0) == 0)
                return true;
            return errno == ENOTSUP || !must_copy_attribute(name);
        }
        if (errno != ERANGE)
            return false;
    }
    return false;
}

bool has_name(const std::string& names, const char* name) {
    for (size_t at = 0; at < names.size(); at += std::strlen(&names[at]) + 1) {
        if (std::strcmp(&names[at], name) == 0)
            return true;
    }
    return false;
}

// A new file takes the directory's default access control list; the
// original may have none (`kept` are its names), and must not become
// readable by more people.
bool drop_inherited_attributes(const std::string& kept, int to) {
    std::string inherited;
    if (!list_attributes(to, inherited))
        return false;
    for (size_t at = 0; at < inherited.size(); at += std::strlen(&inherited[at]) + 1) {
        const char* name = &inherited[at];
        if (must_copy_attribute(name) && !has_name(kept, name) &&
            ::fremovexattr(to, name) != 0 && errno != ENODATA)
            return false;
    }
    return true;
}

enum class capabilities { copy, skip };

bool copy_attributes(int from, const std::string& names, int to, capabilities which) {
    for (size_t at = 0; at < names.size(); at += std::strlen(&names[at]) + 1) {
        if (which == capabilities::skip && std::strcmp(&names[at], "security.capability") == 0)
            continue;
        if (!copy_attribute(from, to, &names[at]))
            return false;
    }
    return true;
}

// Owner and group come first: changing them clears set-user-ID and
// set-group-ID bits and capabilities, which the mode and the attributes then
// restore.
bool copy_ownership(uid_t owner, gid_t group, int to) {
    struct stat created;
    if (::fstat(to, &created) != 0)
        return false;
    // A new file may take its group from a set-group-ID directory.
    if (owner != created.st_uid || group != created.st_gid) {
        if (::fchown(to, owner, group) != 0) {
            // Not privileged: keep at least the group when we belong to it.
            (void)::fchown(to, static_cast<uid_t>(-1), group);
        }
    }
    return true;
}

// The permission bits for a new file whose owner or group could not be kept:
// they must grant nobody more than the old file did. Set-ID bits go, as a
// change of owner takes them; a group other than the old one gets no more
// than everyone else had.
mode_t mode_for(mode_t mode, bool owner_kept, bool group_kept) {
    if (!owner_kept)
        mode &= ~(S_ISUID | S_ISGID);
    if (!group_kept)
        mode = (mode & ~(S_ISGID | S_IRWXG)) | (mode & S_IRWXG & ((mode & S_IRWXO) << 3));
    return mode;
}

// Flags that say how a file is kept (not dumped, no access times, written
// synchronously...), which anyone who owns it may set.
constexpr int kept_flags = FS_NODUMP_FL | FS_NOATIME_FL | FS_SYNC_FL | FS_SECRM_FL | FS_UNRM_FL |
                           FS_COMPR_FL | FS_NOCOMP_FL;

// Done after the last write: a write clears set-ID bits and capabilities
// (security.capability, copied with the other attributes where we may set it,
// and only when the owner is kept).
bool apply_metadata(const target& original, const temp_file& temp) {
    int fd = fd_of(temp.data);
    const struct stat& old = original.held;
    struct stat now;
    if (!copy_ownership(old.st_uid, old.st_gid, fd) || ::fstat(fd, &now) != 0)
        return false;
    bool owner_kept = now.st_uid == old.st_uid;
    bool group_kept = now.st_gid == old.st_gid;
    if (!drop_inherited_attributes(temp.attribute_names, fd) ||
        !copy_attributes(fd_of(original.data), temp.attribute_names, fd,
                         owner_kept ? capabilities::copy : capabilities::skip) ||
        ::fchmod(fd, mode_for(old.st_mode & 07777, owner_kept, group_kept)) != 0)
        return false;
    int flags = 0;
    if ((temp.flags & kept_flags) != 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
        flags |= temp.flags & kept_flags;
        (void)::ioctl(fd, FS_IOC_SETFLAGS, &flags); // how the file is kept, not what it holds
    }
    return true;
}

// An unnamed file in the directory: a run that dies leaves nothing behind.
int create_unnamed(int directory) {
#ifdef O_TMPFILE
    return ::openat(directory, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
#else
    (void)directory;
    errno = EOPNOTSUPP;
    return -1;
#endif
}

bool unnamed_unsupported(int error) {
    return error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
}

// Gives an unnamed temporary file its name; without access to /proc, the
// empty-path form needs a capability that root has.
bool link_unnamed(int fd, int directory, const std::string& name) {
    if (::linkat(AT_FDCWD, proc_path(fd).c_str(), directory, name.c_str(), AT_SYMLINK_FOLLOW) == 0)
        return true;
    if (errno != ENOENT)
        return false;
    return ::linkat(fd, "", directory, name.c_str(), AT_EMPTY_PATH) == 0;
}

// Starts writing to disk what has been written so far, so that the final
// flush finds little left to do and the disk works while we scan.
void start_write_back(temp_file& temp) {
    if (temp.size - temp.written_back < write_back_step)
        return;
    // Only a hint: the final flush is what must succeed.
    (void)::sync_file_range(fd_of(temp.data), temp.written_back, temp.size - temp.written_back,
                            SYNC_FILE_RANGE_WRITE);
    temp.written_back = temp.size;
}

bool same_directory(const pending_directory& pending, const struct stat& st) {
    return pending.directory.is_open() && pending.device == st.st_dev && pending.inode == st.st_ino;
}

void flush_pending(pending_directory& state) {
    if (state.directory.is_open() && ::fsync(fd_of(state.directory)) != 0)
        state.failed = true;
    state.directory = file();
}

// Called after a rename in `directory`: a different directory still waiting
// for its flush gets it now, so at most one waits at any time. A failure
// concerns an earlier pass and is reported at the end of the run.
void remember_directory(pending_directory& pending, int directory) {
    struct stat st;
    bool known = ::fstat(directory, &st) == 0;
    if (known && same_directory(pending, st))
        return;
    flush_pending(pending);
    int copy = known ? ::fcntl(directory, F_DUPFD_CLOEXEC, 0) : -1;
    if (copy < 0) {
        // Cannot wait: flush now.
        if (::fsync(directory) != 0)
            pending.failed = true;
        return;
    }
    pending.directory = file(copy);
    pending.device = st.st_dev;
    pending.inode = st.st_ino;
}

} // namespace

file::file(file&& other) noexcept : handle(other.handle) { other.handle = -1; }

file& file::operator=(file&& other) noexcept {
    if (this != &other) {
        if (handle != -1)
            (void)::close(fd_of(*this)); // nothing written through it is pending
        handle = other.handle;
        other.handle = -1;
    }
    return *this;
}

file::~file() {
    if (handle != -1)
        (void)::close(fd_of(*this)); // written data was flushed and checked before
}

void closer::operator()(run* what) const { delete what; }

void closer::operator()(target* what) const { delete what; }

void closer::operator()(temp_file* what) const {
    // A failed pass has called discard_temp already; this is a last resort.
    (void)discard_temp(*what);
    delete what;
}

owned<run> start_run() {
    (void)std::signal(SIGPIPE, SIG_IGN); // cannot fail for these signals
    (void)std::signal(SIGXFSZ, SIG_IGN);
    return owned<run>(new run());
}

bool open_for_reading(const std::string& path, file& result) {
    if (!usable_path(path))
        return false;
    // A link in /proc (/dev/fd/N) is opened by the system: it stands for a
    // pipe or an open file that no path names.
    located found;
    if (follow_links(path, proc_links::stop, O_PATH, found) != failure::none)
        return false;
    int nofollow = S_ISLNK(found.st.st_mode) ? 0 : O_NOFOLLOW;
    int fd = ::openat(fd_of(found.directory), found.name.c_str(),
                      O_RDONLY | O_NOCTTY | O_CLOEXEC | nofollow);
    if (fd < 0)
        return false;
    file opened(fd);
    struct stat st;
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode))
        return false;
    result = std::move(opened);
    return true;
}

long long read_some(file& from, char* data, size_t size) {
    for (;;) {
        ssize_t n = ::read(fd_of(from), data, size);
        if (n >= 0 || errno != EINTR)
            return n;
    }
}

failure open_target(const std::string& path, owned<target>& result,
                    std::chrono::milliseconds wait_limit) {
    if (!usable_path(path))
        return failure::not_found;
    auto deadline = wait_clock::now() + wait_limit;
    file directory_file;
    std::string name;
    failure failed = locate(path, directory_file, name);
    if (failed != failure::none)
        return failed;
    int dir = fd_of(directory_file);
    file data, watch;
    struct stat held;
    failed = open_locked(dir, name, deadline, data, watch, held);
    if (failed != failure::none)
        return failed;
    failed = check_permissions(dir, held);
    if (failed != failure::none)
        return failed;
    owned<target> opened(new target());
    failed = check_temp_name_free(dir, name, opened->temp_name_fits);
    if (failed != failure::none)
        return failed;
    (void)::posix_fadvise(fd_of(data), 0, 0, POSIX_FADV_SEQUENTIAL); // a hint only
    opened->data = std::move(data);
    opened->directory = std::move(directory_file);
    opened->name = std::move(name);
    opened->held = held;
    opened->watch = std::move(watch);
    result = std::move(opened);
    return failure::none;
}

long long read_target(target& from, char* data, size_t size) {
    long long n = read_some(from.data, data, size);
    if (n > 0 && (from.read_so_far += static_cast<uint64_t>(n)) >
                     static_cast<uint64_t>(from.held.st_size))
        return -1;
    return n;
}

failure create_temp(target& of, owned<temp_file>& result) {
    if (!of.temp_name_fits)
        return failure::not_writable;
    // Removed again if anything below fails.
    owned<temp_file> temp(new temp_file());
    int dir = fd_of(of.directory);
    int fd = create_unnamed(dir);
    if (fd < 0 && unnamed_unsupported(errno)) {
        std::string name = temp_name_of(of.name);
        fd = ::openat(dir, name.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            temp->name = std::move(name);
            temp->directory = &of.directory;
        }
    }
    if (fd < 0)
        return failure_of_create(errno);
    temp->data = file(fd);
    int original = fd_of(of.data);
    if (!list_attributes(original, temp->attribute_names))
        return failure::write_failed;
    if (::ioctl(original, FS_IOC_GETFLAGS, &temp->flags) != 0)
        temp->flags = 0; // a file system without such flags
    result = std::move(temp);
    return failure::none;
}

failure append_prefix(target& from, temp_file& to, uint64_t length) {
    off_t offset = 0;
    while (static_cast<uint64_t>(offset) < length) {
        // In steps that fit a size_t on every machine.
        size_t left = static_cast<size_t>(std::min<uint64_t>(length - offset, 1u << 30));
        ssize_t n = ::copy_file_range(fd_of(from.data), &offset, fd_of(to.data), nullptr, left, 0);
        if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL))
            n = ::sendfile(fd_of(to.data), fd_of(from.data), &offset, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno == ENOSPC || errno == EFBIG || errno == EDQUOT ? failure::write_failed
                                                                       : failure::read_failed;
        // The file shrank under us: what was read no longer matches it.
        if (n == 0)
            return failure::read_failed;
        to.size += n;
        start_write_back(to);
    }
    return failure::none;
}

failure append(temp_file& to, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd_of(to.data), data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return failure::write_failed;
        data += n;
        size -= n;
        to.size += n;
    }
    start_write_back(to);
    return failure::none;
}

// Whether the file held is still as it was opened: a program that does not
// take our lock may have written to it, or saved a new file under its name
// (which changes the old file's status time too), and its data would be lost.
bool unchanged(const target& t) {
    struct stat held;
    return !change_seen(t.watch) && ::fstat(fd_of(t.data), &held) == 0 &&
           version_of(held) == version_of(t.held);
}

failure commit(run& in, target& into, temp_file& from) {
    int dir = fd_of(into.directory);
    if (!apply_metadata(into, from) || ::fsync(fd_of(from.data)) != 0)
        return failure::write_failed;
    if (from.name.empty()) {
        std::string name = temp_name_of(into.name);
        if (!link_unnamed(fd_of(from.data), dir, name))
            return errno == EEXIST ? failure::temp_taken : failure::commit_failed;
        from.name = std::move(name);
        from.directory = &into.directory;
    }
    // As late as can be: the check and the rename are not one step.
    if (!unchanged(into))
        return failure::changed;
    if (::renameat(dir, from.name.c_str(), dir, into.name.c_str()) != 0)
        return failure::commit_failed;
    from.name.clear();
    remember_directory(in.pending, dir);
    return failure::none;
}

bool discard_temp(temp_file& temp) {
    if (temp.name.empty() || temp.directory == nullptr)
        return true;
    if (::unlinkat(fd_of(*temp.directory), temp.name.c_str(), 0) != 0 && errno != ENOENT)
        return false;
    temp.name.clear();
    return true;
}

bool make_durable(run& of) {
    flush_pending(of.pending);
    bool flushed = !of.pending.failed;
    of.pending.failed = false;
    return flushed;
}

} // namespace platform
