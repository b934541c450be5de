// The platform module on Linux.
#include "platform.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace platform {

namespace {

int fd_of(const file& f) { return static_cast<int>(f.handle); }

constexpr int max_link_hops = 40;
constexpr int max_lock_tries = 1000;
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

// Opens a directory by a path of any length: one longer than the system takes
// in a single call is walked a few components at a time.
bool open_directory(const std::string& path, file& result) {
    const size_t step = PATH_MAX - 1;
    file current;
    size_t position = 0;
    while (path.size() - position > step) {
        size_t cut = path.rfind('/', position + step);
        if (cut == std::string::npos || cut <= position)
            return false;
        std::string part = path.substr(position, cut - position);
        int at = current.is_open() ? fd_of(current) : AT_FDCWD;
        int fd = ::openat(at, part.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0)
            return false;
        current = file(fd);
        // The rest must stay relative to what has been opened.
        for (position = cut; position < path.size() && path[position] == '/'; ++position) {
        }
    }
    std::string rest = position < path.size() ? path.substr(position) : ".";
    int at = current.is_open() ? fd_of(current) : AT_FDCWD;
    int fd = ::openat(at, rest.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    result = file(fd);
    return true;
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

// Finds the file that `path` leads to: symbolic links in the last component
// are followed, so that the file they lead to is rewritten in its own
// directory and the links stay links. Opens that directory. Anything but a
// regular file is refused here, before it is opened, so that no device is
// ever opened.
failure locate(std::string path, file& directory, std::string& name) {
    for (int hop = 0; hop < max_link_hops; ++hop) {
        std::string directory_path;
        split_path(path, directory_path, name);
        if (is_special_name(name))
            return failure::not_regular;
        if (!open_directory(directory_path, directory))
            return failure::not_found;
        struct stat st;
        if (::fstatat(fd_of(directory), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return failure::not_found;
        if (S_ISREG(st.st_mode))
            return failure::none;
        if (!S_ISLNK(st.st_mode))
            return failure::not_regular;
        std::string link;
        if (!read_link(fd_of(directory), name, link) || link.empty())
            return failure::not_found;
        path = link[0] == '/' ? link : directory_path + "/" + link;
    }
    return failure::not_found;
}

// Checked once the lock is held, on the file that then bears the name.
failure check_permissions(int directory, const std::string& name) {
    if (::faccessat(directory, name.c_str(), R_OK, AT_EACCESS) != 0)
        return failure::not_found;
    if (::faccessat(directory, name.c_str(), W_OK, AT_EACCESS) != 0)
        return failure::not_writable;
    if (::faccessat(directory, ".", W_OK | X_OK, AT_EACCESS) != 0)
        return failure::not_writable;
    return failure::none;
}

bool lock_exclusive(int fd) {
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR)
            return false;
    }
    return true;
}

// Opens and locks the file that bears `name` once the lock is held: another
// run may have renamed its new file over the one opened first.
failure open_locked(int directory, const std::string& name, file& result) {
    for (int attempt = 0; attempt < max_lock_tries; ++attempt) {
        // Non-blocking, so that a pipe swapped in at the last moment cannot hang us.
        int fd = ::openat(directory, name.c_str(),
                          O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
        if (fd < 0)
            return errno == ELOOP ? failure::not_regular : failure::not_found;
        file opened(fd);
        struct stat held, now;
        if (::fstat(fd, &held) != 0)
            return failure::read_failed;
        if (!S_ISREG(held.st_mode))
            return failure::not_regular;
        if (!lock_exclusive(fd))
            return failure::read_failed;
        if (::fstatat(directory, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0)
            return failure::not_found;
        if (now.st_dev == held.st_dev && now.st_ino == held.st_ino) {
            result = std::move(opened);
            return failure::none;
        }
    }
    return failure::read_failed;
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

bool copy_attributes(int from, const std::string& names, int to) {
    for (size_t at = 0; at < names.size(); at += std::strlen(&names[at]) + 1) {
        if (!copy_attribute(from, to, &names[at]))
            return false;
    }
    return true;
}

// Owner and group come first: changing them clears set-user-ID and
// set-group-ID bits, which the mode then restores.
bool copy_ownership(const struct stat& st, int to) {
    struct stat created;
    if (::fstat(to, &created) != 0)
        return false;
    // A new file may take its group from a set-group-ID directory.
    if (st.st_uid != created.st_uid || st.st_gid != created.st_gid) {
        if (::fchown(to, st.st_uid, st.st_gid) != 0) {
            // Not privileged: keep at least the group when we belong to it.
            (void)::fchown(to, static_cast<uid_t>(-1), st.st_gid);
        }
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
    std::string proc = "/proc/self/fd/" + std::to_string(fd);
    if (::linkat(AT_FDCWD, proc.c_str(), directory, name.c_str(), AT_SYMLINK_FOLLOW) == 0)
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

// The directory of the last commit, whose rename may not be on disk yet, and
// whether a flush of an earlier one failed.
struct pending_directory {
    file directory;
    dev_t device = 0;
    ino_t inode = 0;
    bool failed = false;
};

pending_directory& pending() {
    static pending_directory state;
    return state;
}

bool same_directory(const pending_directory& pending, const struct stat& st) {
    return pending.directory.is_open() && pending.device == st.st_dev && pending.inode == st.st_ino;
}

void flush_pending() {
    pending_directory& state = pending();
    if (state.directory.is_open() && ::fsync(fd_of(state.directory)) != 0)
        state.failed = true;
    state.directory = file();
}

// Called after a rename in `directory`: a different directory still waiting
// for its flush gets it now, so at most one waits at any time. A failure
// concerns an earlier pass and is reported at the end of the run.
void remember_directory(int directory) {
    struct stat st;
    bool known = ::fstat(directory, &st) == 0;
    if (known && same_directory(pending(), st))
        return;
    flush_pending();
    int copy = known ? ::fcntl(directory, F_DUPFD_CLOEXEC, 0) : -1;
    if (copy < 0) {
        // Cannot wait: flush now.
        if (::fsync(directory) != 0)
            pending().failed = true;
        return;
    }
    pending().directory = file(copy);
    pending().device = st.st_dev;
    pending().inode = st.st_ino;
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

temp_file::~temp_file() {
    if (!name.empty() && directory != nullptr)
        (void)::unlinkat(fd_of(*directory), name.c_str(), 0); // best effort on a failed pass
}

bool open_for_reading(const std::string& path, file& result) {
    if (!usable_path(path))
        return false;
    std::string directory_path, name;
    split_path(path, directory_path, name);
    file directory;
    if (!open_directory(directory_path, directory))
        return false;
    int fd = ::openat(fd_of(directory), name.empty() ? "." : name.c_str(),
                      O_RDONLY | O_NOCTTY | O_CLOEXEC);
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

failure open_target(const std::string& path, target& result) {
    if (!usable_path(path))
        return failure::not_found;
    file directory_file;
    std::string name;
    failure failed = locate(path, directory_file, name);
    if (failed != failure::none)
        return failed;
    int dir = fd_of(directory_file);
    file data;
    failed = open_locked(dir, name, data);
    if (failed != failure::none)
        return failed;
    failed = check_permissions(dir, name);
    if (failed != failure::none)
        return failed;
    failed = check_temp_name_free(dir, name, result.temp_name_fits);
    if (failed != failure::none)
        return failed;
    (void)::posix_fadvise(fd_of(data), 0, 0, POSIX_FADV_SEQUENTIAL); // a hint only
    result.data = std::move(data);
    result.directory = std::move(directory_file);
    result.name = std::move(name);
    return failure::none;
}

failure create_temp(target& of, temp_file& result) {
    if (!of.temp_name_fits)
        return failure::not_writable;
    int dir = fd_of(of.directory);
    int fd = create_unnamed(dir);
    if (fd < 0 && unnamed_unsupported(errno)) {
        std::string name = temp_name_of(of.name);
        fd = ::openat(dir, name.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            result.name = std::move(name);
            result.directory = &of.directory;
        }
    }
    if (fd < 0)
        return failure_of_create(errno);
    result.data = file(fd);
    result.size = 0;
    int original = fd_of(of.data);
    struct stat st;
    std::string names;
    if (::fstat(original, &st) != 0 || !list_attributes(original, names) ||
        !copy_ownership(st, fd) || !drop_inherited_attributes(names, fd) ||
        !copy_attributes(original, names, fd) || ::fchmod(fd, st.st_mode & 07777) != 0)
        return failure::write_failed;
    return failure::none;
}

failure copy_prefix(target& from, temp_file& to, uint64_t length) {
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

failure write_all(temp_file& to, const char* data, size_t size) {
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

failure commit(target& into, temp_file& from) {
    int dir = fd_of(into.directory);
    if (::fsync(fd_of(from.data)) != 0)
        return failure::write_failed;
    if (from.name.empty()) {
        std::string name = temp_name_of(into.name);
        if (!link_unnamed(fd_of(from.data), dir, name))
            return errno == EEXIST ? failure::temp_taken : failure::commit_failed;
        from.name = std::move(name);
        from.directory = &into.directory;
    }
    if (::renameat(dir, from.name.c_str(), dir, into.name.c_str()) != 0)
        return failure::commit_failed;
    from.name.clear();
    remember_directory(dir);
    return failure::none;
}

bool flush_directories() {
    flush_pending();
    bool flushed = !pending().failed;
    pending().failed = false;
    return flushed;
}

} // namespace platform
