#include "test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace test_util {

scratch_dir::scratch_dir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/tovalise_test.XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data())) {
        ADD_FAILURE() << "mkdtemp failed: " << std::strerror(errno);
        return;
    }
    path_ = buffer.data();
}

scratch_dir::~scratch_dir() {
    if (!path_.empty()) remove_tree(path_);
}

namespace {

// Works relative to the parent directory, so that trees deeper than a path
// can name are removed too.
void remove_entry(int parent, const char* name) {
    struct stat info;
    if (fstatat(parent, name, &info, AT_SYMLINK_NOFOLLOW) != 0) return;
    if (!S_ISDIR(info.st_mode)) {
        (void)unlinkat(parent, name, 0);
        return;
    }
    // A test may have taken away permissions; the tree must go anyway.
    (void)fchmodat(parent, name, 0700, 0);
    int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (DIR* listing = fd >= 0 ? fdopendir(fd) : nullptr) {
        std::vector<std::string> names;
        while (const dirent* entry = readdir(listing)) {
            std::string child = entry->d_name;
            if (child != "." && child != "..") names.push_back(child);
        }
        for (const std::string& child : names) remove_entry(fd, child.c_str());
        closedir(listing);
    } else if (fd >= 0) {
        close(fd);
    }
    (void)unlinkat(parent, name, AT_REMOVEDIR);
}

} // namespace

void remove_tree(const std::string& path) { remove_entry(AT_FDCWD, path.c_str()); }

std::string read_file(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        ADD_FAILURE() << "cannot open " << path << ": " << std::strerror(errno);
        return {};
    }
    std::string content;
    char buffer[65536];
    for (;;) {
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            ADD_FAILURE() << "cannot read " << path << ": " << std::strerror(errno);
            break;
        }
        if (got == 0) break;
        content.append(buffer, static_cast<size_t>(got));
    }
    close(fd);
    return content;
}

void write_file(const std::string& path, std::string_view content) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        ADD_FAILURE() << "cannot create " << path << ": " << std::strerror(errno);
        return;
    }
    size_t done = 0;
    while (done < content.size()) {
        ssize_t put = write(fd, content.data() + done, content.size() - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            ADD_FAILURE() << "cannot write " << path << ": " << std::strerror(errno);
            break;
        }
        done += static_cast<size_t>(put);
    }
    close(fd);
}

std::vector<std::string> list_dir(const std::string& path) {
    std::vector<std::string> names;
    DIR* dir = opendir(path.c_str());
    if (!dir) return names;
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

bool running_as_root() { return geteuid() == 0; }

std::string windows_path_of_binary() {
    std::string path = "Z:" + std::string(std::getenv("TOVALISE_WINE_ROOT")) + "/tovalise.exe";
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

bool under_wine() {
    const char* root = std::getenv("TOVALISE_WINE_ROOT");
    return root != nullptr && *root != '\0';
}

namespace {

struct scratch_dir_remover {
    std::string path;
    ~scratch_dir_remover() { remove_tree(path); }
};

// Reports a failure in the child on its stderr and ends it; nothing of the
// parent's state (gtest included) may run there.
[[noreturn]] void child_fail(const char* what) {
    const char* reason = std::strerror(errno);
    (void)!write(2, what, std::strlen(what));
    (void)!write(2, ": ", 2);
    (void)!write(2, reason, std::strlen(reason));
    (void)!write(2, "\n", 1);
    _exit(127);
}

// Waits for `pid` until `deadline`, killing it when the time runs out.
// Returns the wait status, and whether it had to be killed.
int wait_until(pid_t pid, std::chrono::steady_clock::time_point deadline, bool& killed) {
    killed = false;
    int status = 0;
    for (;;) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) return status;
        if (done < 0 && errno != EINTR) return -1;
        if (std::chrono::steady_clock::now() >= deadline && !killed) {
            kill(pid, SIGKILL);
            killed = true;
            waitpid(pid, &status, 0);
            return status;
        }
        usleep(2000);
    }
}

std::string wine_root() { return std::getenv("TOVALISE_WINE_ROOT"); }

std::string first_line_of(const std::string& path) {
    std::string text = read_file(path);
    return text.substr(0, text.find('\n'));
}

// Windows hands arguments to main in its ANSI code page (1252 under wine's
// default locale) and wine takes ours as UTF-8: each byte is sent as the
// character it stands for, so that the program receives the same bytes.
std::string utf8_of_code_page_1252(const std::string& bytes) {
    static const unsigned short high[32] = {
        0x20ac, 0x0081, 0x201a, 0x0192, 0x201e, 0x2026, 0x2020, 0x2021, 0x02c6, 0x2030, 0x0160,
        0x2039, 0x0152, 0x008d, 0x017d, 0x008f, 0x0090, 0x2018, 0x2019, 0x201c, 0x201d, 0x2022,
        0x2013, 0x2014, 0x02dc, 0x2122, 0x0161, 0x203a, 0x0153, 0x009d, 0x017e, 0x0178};
    std::string text;
    for (unsigned char byte : bytes) {
        unsigned code = byte >= 0x80 && byte < 0xa0 ? high[byte - 0x80] : byte;
        if (code < 0x80) {
            text += static_cast<char>(code);
        } else if (code < 0x800) {
            text += static_cast<char>(0xc0 | code >> 6);
            text += static_cast<char>(0x80 | (code & 0x3f));
        } else {
            text += static_cast<char>(0xe0 | code >> 12);
            text += static_cast<char>(0x80 | (code >> 6 & 0x3f));
            text += static_cast<char>(0x80 | (code & 0x3f));
        }
    }
    return text;
}

// The binary where a child that drops its privileges can run it: the build
// tree may lie in a folder only root may enter (/root is mode 700).
std::string binary_for_nobody() {
    static std::string copy;
    if (!copy.empty()) return copy;
    char folder[] = "/tmp/tovalise_binary.XXXXXX";
    std::string source = read_file(TOVALISE_BINARY);
    if (!mkdtemp(folder) || chmod(folder, 0755) != 0) {
        ADD_FAILURE() << "cannot make a folder for the binary: " << std::strerror(errno);
        return TOVALISE_BINARY;
    }
    std::string path = std::string(folder) + "/tovalise";
    write_file(path, source);
    if (chmod(path.c_str(), 0755) != 0) ADD_FAILURE() << "chmod: " << std::strerror(errno);
    // Removed when the test program ends.
    static scratch_dir_remover remover{folder};
    copy = path;
    return copy;
}

} // namespace

start_gate::start_gate() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe failed: " << std::strerror(errno);
        return;
    }
    read_fd = fds[0];
    write_fd = fds[1];
}

start_gate::~start_gate() {
    release();
    if (read_fd >= 0) close(read_fd);
}

void start_gate::release() {
    if (write_fd >= 0) close(write_fd);
    write_fd = -1;
}

child start_binary(const std::vector<std::string>& args, const run_options& options) {
    child result;
    result.time_limit_seconds = options.time_limit_seconds;
    int out_pipe[2];
    int err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe failed: " << std::strerror(errno);
        return result;
    }
    std::vector<std::string> argv_text;
    bool drop = options.as_nobody && running_as_root();
    result.measured = options.measure_peak_memory;
    if (result.measured) argv_text.push_back(TOVALISE_PEAK_MEMORY);
    bool wine = under_wine();
    std::string wine_prefix, wine_home;
    if (wine) {
        // The session's copy of the program lies where every user may run it.
        argv_text.push_back(first_line_of(wine_root() + "/loader"));
        argv_text.push_back(options.wine_program.empty() ? wine_root() + "/tovalise.exe"
                                                         : options.wine_program);
        for (const std::string& arg : args) argv_text.push_back(utf8_of_code_page_1252(arg));
        wine_home = drop ? wine_root() + "/nobody" : "";
        wine_prefix = (drop ? wine_home : wine_root()) + "/prefix";
    } else {
        argv_text.push_back(drop ? binary_for_nobody() : TOVALISE_BINARY);
        argv_text.insert(argv_text.end(), args.begin(), args.end());
    }
    std::vector<char*> argv;
    for (std::string& text : argv_text) argv.push_back(text.data());
    argv.push_back(nullptr);

    pid_t pid = fork();
    if (pid < 0) {
        ADD_FAILURE() << "fork failed: " << std::strerror(errno);
        return result;
    }
    if (pid == 0) {
        if (options.gate) {
            // The gate opens when every copy of its write end is closed.
            close(options.gate->write_fd);
            char byte;
            while (read(options.gate->read_fd, &byte, 1) < 0 && errno == EINTR) {
            }
        }
        // An ignored signal would stay ignored across execv.
        if (signal(SIGXFSZ, SIG_DFL) == SIG_ERR || signal(SIGPIPE, SIG_DFL) == SIG_ERR)
            child_fail("signal");
        if (options.file_size_limit >= 0) {
            rlimit limit{static_cast<rlim_t>(options.file_size_limit),
                         static_cast<rlim_t>(options.file_size_limit)};
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0) child_fail("setrlimit");
        }
        if (dup2(out_pipe[1], 1) < 0 || dup2(err_pipe[1], 2) < 0) child_fail("dup2");
        if (options.stdout_closed) {
            int gone[2];
            if (pipe(gone) != 0 || dup2(gone[1], 1) < 0) child_fail("pipe");
            close(gone[0]);
            close(gone[1]);
        }
        int null_in = open("/dev/null", O_RDONLY);
        if (null_in >= 0) dup2(null_in, 0);
        if (!options.working_dir.empty() && chdir(options.working_dir.c_str()) != 0)
            child_fail("chdir");
        if (drop) {
            if (setgroups(0, nullptr) != 0) child_fail("setgroups");
            if (setgid(nobody_id) != 0) child_fail("setgid");
            if (setuid(nobody_id) != 0) child_fail("setuid");
        }
        if (wine) {
            // wine refuses a prefix that belongs to another user.
            if (setenv("WINEPREFIX", wine_prefix.c_str(), 1) != 0 || setenv("WINEDEBUG", "-all", 1) != 0 ||
                setenv("LANG", "C.UTF-8", 1) != 0 || setenv("LC_ALL", "C.UTF-8", 1) != 0 ||
                (!wine_home.empty() && setenv("HOME", wine_home.c_str(), 1) != 0))
                child_fail("setenv");
        }
        execv(argv[0], argv.data());
        child_fail("execv");
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    result.pid = pid;
    result.out_fd = out_pipe[0];
    result.err_fd = err_pipe[0];
    return result;
}

run_result finish(child& running) {
    run_result result;
    if (running.pid < 0) return result;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(running.time_limit_seconds);
    pollfd fds[2] = {{running.out_fd, POLLIN, 0}, {running.err_fd, POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open_count = 2;
    while (open_count > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            result.timed_out = true;
            break;
        }
        int ready = poll(fds, 2, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[4096];
            ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_count;
            }
        }
    }
    for (pollfd& entry : fds)
        if (entry.fd >= 0) close(entry.fd);
    bool killed = false;
    int status = wait_until(running.pid, result.timed_out ? std::chrono::steady_clock::now() : deadline,
                            killed);
    result.timed_out = result.timed_out || killed;
    if (!result.timed_out && status >= 0 && WIFEXITED(status)) result.status = WEXITSTATUS(status);
    if (!result.timed_out && status >= 0 && WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    // The last line on standard error is the report of the program that measured.
    const std::string report = "peak_rss_kib ";
    size_t at = result.err.rfind(report);
    if (running.measured && at != std::string::npos && (at == 0 || result.err[at - 1] == '\n')) {
        result.peak_rss_kib = std::atol(result.err.c_str() + at + report.size());
        result.err.erase(at);
    }
    result.raw_out = result.out;
    if (under_wine()) {
        std::string lines;
        for (size_t i = 0; i < result.out.size(); ++i) {
            if (!(result.out[i] == '\r' && i + 1 < result.out.size() && result.out[i + 1] == '\n'))
                lines += result.out[i];
        }
        result.out = lines;
    }
    running.pid = -1;
    return result;
}

run_result run_binary(const std::vector<std::string>& args, const run_options& options) {
    child running = start_binary(args, options);
    return finish(running);
}

int run_in_fork(const std::function<int()>& body, int time_limit_seconds) {
    pid_t pid = fork();
    if (pid < 0) {
        ADD_FAILURE() << "fork failed: " << std::strerror(errno);
        return -1;
    }
    if (pid == 0) _exit(body() & 0xff);
    bool killed = false;
    int status = wait_until(pid, std::chrono::steady_clock::now() + std::chrono::seconds(time_limit_seconds),
                            killed);
    if (killed || status < 0 || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

} // namespace test_util
