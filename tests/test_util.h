// Helpers shared by the tests: scratch directories, whole-file reads and
// writes, and running the built binary as a child process.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace test_util {

// A fresh directory under the system temp folder, removed with all it holds
// when the object goes away.
class scratch_dir {
public:
    scratch_dir();
    ~scratch_dir();
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;

    const std::string& path() const { return path_; }
    // `name` joined to the directory's path.
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Removes `path` and, for a directory, everything below it. Links are
// removed, never followed.
void remove_tree(const std::string& path);

// The whole content of a file; fails the current test when it cannot be read.
std::string read_file(const std::string& path);
// Creates or truncates `path` with exactly `content`.
void write_file(const std::string& path, std::string_view content);
// Names in a directory, sorted, without "." and "..".
std::vector<std::string> list_dir(const std::string& path);

bool running_as_root();

// Whether the binary the tests start is a Windows build run under wine: the
// environment names the session's folder (TOVALISE_WINE_ROOT, set up by
// tests/wine/session.sh).
bool under_wine();
constexpr uid_t nobody_id = 65534;

// Holds back the children started with it until release(), so that several
// runs begin at the same moment.
class start_gate {
public:
    start_gate();
    ~start_gate();
    start_gate(const start_gate&) = delete;
    start_gate& operator=(const start_gate&) = delete;
    void release();

    int read_fd = -1;
    int write_fd = -1;
};

struct run_options {
    std::string working_dir;    // empty: the test's own
    bool as_nobody = false;     // when root, run the child as uid/gid 65534
    int time_limit_seconds = 20; // the child is killed after this
    // When not negative: the largest file the child may write (RLIMIT_FSIZE).
    // The child starts with SIGXFSZ and SIGPIPE at their defaults, which end
    // a process unless it ignores them itself.
    long long file_size_limit = -1;
    // The child's standard output is a pipe whose reader has gone; nothing
    // it prints is captured.
    bool stdout_closed = false;
    const start_gate* gate = nullptr; // the child waits for its release before it runs
    bool measure_peak_memory = false; // fills run_result::peak_rss_kib
    // Under wine: a Windows program to start instead of the tool ("cmd").
    std::string wine_program;
};

// Under wine: the tool as a Windows path, for a batch file run by cmd.
std::string windows_path_of_binary();

struct run_result {
    // Standard output; under wine with each CR LF read as a line end, so
    // that the same expectations hold (raw_out keeps the bytes).
    std::string out;
    std::string raw_out;
    std::string err;
    int status = -1;        // exit status; -1 when it did not exit normally
    int signal = 0;         // the signal that ended it, 0 when none did
    bool timed_out = false;
    long peak_rss_kib = -1; // with measure_peak_memory: the binary's peak resident memory
};

// A started child whose output is being captured.
struct child {
    pid_t pid = -1;
    int out_fd = -1;
    int err_fd = -1;
    int time_limit_seconds = 0;
    bool measured = false;
};

// Starts the built binary with `args` (not counting the program name).
child start_binary(const std::vector<std::string>& args, const run_options& options = {});
// Collects the output of a started child until it ends or its time runs out.
run_result finish(child& running);
// start_binary and finish in one.
run_result run_binary(const std::vector<std::string>& args, const run_options& options = {});

// Runs `body` in a forked copy of this process and returns what it returned
// (0..255), or -1 when it had to be killed after `time_limit_seconds`.
int run_in_fork(const std::function<int()>& body, int time_limit_seconds);

} // namespace test_util
