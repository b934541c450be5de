// Fuzz target for the script interpreter: the input is a script, run by the
// real interpreter against a scratch folder of small files. Every message
// must be the one the script calls for, at the right line, the exit status
// must match the messages, and no temporary file may be left behind.
//
// The folder holds regular files, a read-only file, a subfolder, a FIFO, a
// link to a file and a dangling link. A "!file " line whose value is absolute
// or holds ".." is pointed at a.txt instead, so no pass can reach a file
// outside the folder. The files are restored before each input and their
// size is capped, so scripts that grow a file pass after pass stay fast (and
// hit the write failure path on the way).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <signal.h>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "replace.h"
#include "script.h"

namespace {

void check(bool condition) {
    if (!condition)
        __builtin_trap();
}

constexpr rlim_t file_size_cap = 1 << 20;

using namespace std::literals;

struct seed_file {
    const char* name;
    std::string_view content;
    mode_t mode;
};

const seed_file seed_files[] = {
    {"a.txt", "alpha beta\r\ngamma alpha\nalpha"sv, 0644},
    {"b.txt", "x\0y\r\rz alpha\n"sv, 0600},
    {"ro.txt", "read only alpha\n"sv, 0444},
    {"sub/c.txt", "alpha\n"sv, 0644},
};

// Names that exist in the folder between runs; anything else is a leftover.
const std::set<std::string> expected_names = {
    ".", "..", "a.txt", "b.txt", "ro.txt", "sub", "fifo", "link.txt", "dangling"};

std::string root;   // holds the script, the captured output and the folder
std::string folder; // where the script's relative paths lead
int original_directory = -1;

// TOVALISE_FUZZ_DIR, when set, is where the scratch folder goes (run.sh
// points it into its own temporary folder, so a crash leaves nothing behind).
std::string scratch_parent() {
    const char* chosen = std::getenv("TOVALISE_FUZZ_DIR");
    if (chosen && *chosen)
        return chosen;
    struct stat st;
    // A flush on a memory file system costs nothing; each pass flushes twice.
    if (::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && ::access("/dev/shm", W_OK) == 0)
        return "/dev/shm";
    const char* tmp = std::getenv("TMPDIR");
    return tmp && *tmp ? tmp : "/tmp";
}

void write_file(const std::string& path, std::string_view content, mode_t mode) {
    (void)::unlink(path.c_str());
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    check(fd >= 0);
    check(::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size()));
    check(::fchmod(fd, mode) == 0);
    check(::close(fd) == 0);
}

void restore_files() {
    for (const seed_file& file : seed_files)
        write_file(folder + "/" + file.name, file.content, file.mode);
}

void remove_scratch() {
    for (const seed_file& file : seed_files)
        (void)::unlink((folder + "/" + file.name).c_str());
    for (const char* name : {"fifo", "link.txt", "dangling"})
        (void)::unlink((folder + "/" + name).c_str());
    (void)::rmdir((folder + "/sub").c_str());
    (void)::rmdir(folder.c_str());
    (void)::unlink((root + "/script").c_str());
    (void)::unlink((root + "/output").c_str());
    (void)::rmdir(root.c_str());
}

void set_up() {
    std::string pattern = scratch_parent() + "/tovalise-fuzz.XXXXXX";
    check(::mkdtemp(&pattern[0]) != nullptr);
    root = pattern;
    folder = root + "/files";
    check(::mkdir(folder.c_str(), 0755) == 0);
    check(::mkdir((folder + "/sub").c_str(), 0755) == 0);
    check(::mkfifo((folder + "/fifo").c_str(), 0644) == 0);
    check(::symlink("a.txt", (folder + "/link.txt").c_str()) == 0);
    check(::symlink("missing.txt", (folder + "/dangling").c_str()) == 0);
    restore_files();
    original_directory = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    check(original_directory >= 0);
    std::atexit(remove_scratch);
}

std::vector<std::string> split_lines(std::string_view text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t feed = text.find('\n', start);
        if (feed == std::string_view::npos) {
            lines.emplace_back(text.substr(start));
            break;
        }
        lines.emplace_back(text.substr(start, feed - start));
        start = feed + 1;
    }
    return lines;
}

bool starts_with(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// Points every "!file " line that could leave the folder at a.txt.
std::string confine(std::string_view script) {
    std::string result;
    size_t start = 0;
    while (start < script.size()) {
        size_t feed = script.find('\n', start);
        size_t end = feed == std::string_view::npos ? script.size() : feed;
        std::string_view line = script.substr(start, end - start);
        if (starts_with(line, "!file ")) {
            std::string_view value = line.substr(6);
            if (starts_with(value, "/") || value.find("..") != std::string_view::npos)
                line = "!file a.txt";
        }
        result += line;
        if (feed != std::string_view::npos)
            result += '\n';
        start = end + 1;
    }
    return result;
}

std::string read_all(const std::string& path) {
    std::string content;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    check(fd >= 0);
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        check(n >= 0);
        if (n == 0)
            break;
        content.append(buffer, n);
    }
    ::close(fd);
    return content;
}

// Runs the script with standard output captured; returns the exit status.
int run_captured(const std::string& script_path, std::string& output) {
    std::string output_path = root + "/output";
    int capture = ::open(output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    check(capture >= 0);
    check(std::fflush(stdout) == 0);
    int saved_stdout = ::dup(1);
    check(saved_stdout >= 0);
    check(::dup2(capture, 1) == 1);
    ::close(capture);
    check(::chdir(folder.c_str()) == 0);

    rlimit old_limit;
    check(::getrlimit(RLIMIT_FSIZE, &old_limit) == 0);
    rlimit capped = old_limit;
    if (capped.rlim_cur == RLIM_INFINITY || capped.rlim_cur > file_size_cap)
        capped.rlim_cur = file_size_cap;
    check(::setrlimit(RLIMIT_FSIZE, &capped) == 0);
    // A pass that runs into the cap must fail as on a full disk; libFuzzer's
    // own handler for the signal would end the run instead.
    struct sigaction ignore = {}, old_action;
    ignore.sa_handler = SIG_IGN;
    check(::sigaction(SIGXFSZ, &ignore, &old_action) == 0);

    rewrite_run run; // after the handler above is saved: it ignores the signal too
    int status = run_script(run, script_path);

    check(::sigaction(SIGXFSZ, &old_action, nullptr) == 0);
    check(::setrlimit(RLIMIT_FSIZE, &old_limit) == 0);
    check(::fchdir(original_directory) == 0);
    check(std::fflush(stdout) == 0);
    check(::dup2(saved_stdout, 1) == 1);
    ::close(saved_stdout);
    output = read_all(output_path);
    return status;
}

// Walks the script as the interpreter should and checks each message against
// it. Whether a pass on a valid-looking file succeeds is read from the output;
// everything else is decided by the script alone.
void check_messages(const std::string& script, const std::string& output, int status) {
    check(status == 0 || status == 1);
    check(output.empty() || output.back() == '\n');
    std::vector<std::string> messages = split_lines(output);
    std::vector<std::string> lines = split_lines(script);
    size_t next = 0; // next message to account for
    std::string file, source, dest;
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string line = lines[i];
        bool has_feed = i + 1 < lines.size() || (!script.empty() && script.back() == '\n');
        if (has_feed && !line.empty() && line.back() == '\r')
            line.pop_back();
        std::string number = std::to_string(i + 1);
        if (starts_with(line, "!option ")) {
            continue;
        } else if (starts_with(line, "!source ")) {
            source = line.substr(8);
        } else if (starts_with(line, "!dest ")) {
            dest = line.substr(6);
        } else if (starts_with(line, "!file ")) {
            file = line.substr(6);
        } else if (starts_with(line, "!do")) {
            if (source.empty() || dest.empty() || file.empty()) {
                check(next + 1 == messages.size());
                check(messages[next] ==
                      "!Error on line " + number + " - cmd Do need source & dest & valide file");
                check(status == 1);
                return;
            }
            if (next < messages.size() &&
                messages[next] == "!Error on line " + number + " - FILE \"" + file +
                                      "\" is an valide file") {
                check(next + 1 == messages.size());
                check(status == 1);
                return;
            }
        } else {
            check(next < messages.size());
            check(messages[next] ==
                  "!Error on line " + number + " - line:\"" + line + "\" is not in the language");
            ++next;
        }
    }
    check(next == messages.size());
    check(status == 0);
}

// Fails on anything the run left in the folder, such as a temporary file.
void check_folder_clean() {
    for (const std::string& directory : {folder, folder + "/sub"}) {
        DIR* listing = ::opendir(directory.c_str());
        check(listing != nullptr);
        while (dirent* entry = ::readdir(listing)) {
            std::string name = entry->d_name;
            if (directory != folder)
                check(name == "." || name == ".." || name == "c.txt");
            else
                check(expected_names.count(name) == 1);
        }
        ::closedir(listing);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    set_up();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Each script line gives at most one message of about fifty bytes more
    // than the line; this keeps the captured output below the size cap.
    if (size > 8 * 1024)
        return -1;
    std::string script = confine(std::string_view(reinterpret_cast<const char*>(data), size));
    std::string script_path = root + "/script";
    write_file(script_path, script, 0600);

    std::string output;
    int status = run_captured(script_path, output);
    check_messages(script, output, status);
    check_folder_clean();
    restore_files();
    return 0;
}
