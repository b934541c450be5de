// Runs of the built binary under faults: a full disk, a kill at any moment,
// a concurrent run, links that lead elsewhere or nowhere, and input at the
// edges of what it accepts. Whatever happens, a file holds its whole old or
// its whole new content, and every failure is reported.
#include "test_util.h"

#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <sys/xattr.h>

#include "platform.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

using test_util::list_dir;
using test_util::read_file;
using test_util::run_options;
using test_util::run_result;
using test_util::scratch_dir;
using test_util::write_file;

namespace {

using clock_type = std::chrono::steady_clock;
using names = std::vector<std::string>;

std::string repeat(const std::string& text, size_t count) {
    std::string result;
    result.reserve(text.size() * count);
    for (size_t i = 0; i < count; ++i) result += text;
    return result;
}

// Every occurrence replaced, left to right, without overlap. Right for a
// search text without CR or LF, which is all these tests use it for.
std::string replace_all(const std::string& text, const std::string& search, const std::string& replacement) {
    std::string result;
    size_t from = 0;
    for (size_t at; (at = text.find(search, from)) != std::string::npos; from = at + search.size())
        result.append(text, from, at - from).append(replacement);
    return result.append(text, from, std::string::npos);
}

std::string file_error(const std::string& name) { return "!Error - FILE \"" + name + "\" is an valide file\n"; }
std::string line_file_error(int line, const std::string& name) {
    return "!Error on line " + std::to_string(line) + " - FILE \"" + name + "\" is an valide file\n";
}

struct stat stat_of(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(lstat(path.c_str(), &info), 0) << path << ": " << std::strerror(errno);
    return info;
}

std::string link_target(const std::string& path) {
    char buffer[4096];
    ssize_t size = readlink(path.c_str(), buffer, sizeof buffer);
    EXPECT_GE(size, 0) << path << " is no longer a symbolic link";
    return size < 0 ? std::string() : std::string(buffer, static_cast<size_t>(size));
}

// A short description of how two large contents differ, for messages.
std::string difference(const std::string& got, const std::string& expected) {
    size_t at = std::mismatch(got.begin(), got.begin() + std::min(got.size(), expected.size()), expected.begin()).first -
                got.begin();
    return "got " + std::to_string(got.size()) + " bytes, expected " + std::to_string(expected.size()) +
           ", first difference at " + std::to_string(at);
}

class EndToEnd : public ::testing::Test {
protected:
    scratch_dir dir;
    std::string file = dir / "f.txt";

    run_options options() const {
        run_options result;
        result.working_dir = dir.path();
        return result;
    }

    run_result run(const std::vector<std::string>& args, run_options with) {
        run_result result = test_util::run_binary(args, with);
        EXPECT_FALSE(result.timed_out) << "the run did not end in time";
        EXPECT_EQ(result.err, "") << "nothing may go to standard error";
        return result;
    }
    run_result run(const std::vector<std::string>& args) { return run(args, options()); }
};

// A full disk -----------------------------------------------------------------
// A limit on the size of the files the run may write fails its writes as a
// full disk does.

using FullDisk = EndToEnd;

TEST_F(FullDisk, DirectRunFailsAndLeavesTheFileAsItWas) {
    if (test_util::under_wine()) GTEST_SKIP() << "wine cannot start under a file-size limit (it maps its own files)";
    const std::string lines = repeat("a foo b\n", 100000);                       // 800 000 bytes
    const std::string late = repeat("0123456789abcdef\n", 60000) + "foo\n";       // first occurrence at 1 020 000
    const std::string growing = repeat("foo\n", 25000);                           // 100 000 bytes, 175 000 out
    const std::string last = "foo\n" + repeat("0123456789abcdef\n", 18000);       // as long out as in
    struct full_case {
        const char* name;
        std::string content;
        std::string replacement;
        long long limit;
        bool fits;
    };
    const std::vector<full_case> cases = {
        {"occurrences throughout", lines, "bar", 300000, false},
        // The clean prefix before the first occurrence is copied in one go.
        {"first occurrence far past the limit", late, "bar", 200000, false},
        {"output outgrows an input below the limit", growing, "foofoo", 150000, false},
        {"only the last byte passes the limit", last, "bar", static_cast<long long>(last.size()) - 1, false},
        {"limit equal to the output size", last, "bar", static_cast<long long>(last.size()), true},
    };
    for (const full_case& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(file, c.content);
        struct stat before = stat_of(file);
        run_options limited = options();
        limited.file_size_limit = c.limit;
        run_result result = run({"f.txt", "foo", c.replacement}, limited);
        std::string now = read_file(file);
        if (c.fits) {
            EXPECT_EQ(result.out, "");
            EXPECT_EQ(result.status, 0);
            std::string expected = replace_all(c.content, "foo", c.replacement);
            EXPECT_TRUE(now == expected) << difference(now, expected);
        } else {
            EXPECT_EQ(result.out, file_error("f.txt"));
            EXPECT_EQ(result.status, 1);
            EXPECT_TRUE(now == c.content) << difference(now, c.content);
            EXPECT_EQ(stat_of(file).st_ino, before.st_ino) << "the file was replaced";
        }
        EXPECT_EQ(list_dir(dir.path()), names{"f.txt"});
    }
}

TEST_F(FullDisk, ScriptKeepsEarlierPassesAndRunsNoLaterLine) {
    if (test_util::under_wine()) GTEST_SKIP() << "wine cannot start under a file-size limit (it maps its own files)";
    const std::string big = repeat("a foo b\n", 100000);
    write_file(dir / "first.txt", "foo\nfoo\n");
    write_file(dir / "big.txt", big);
    write_file(dir / "after.txt", "foo\n");
    write_file(dir / "s.txt",
               "!file first.txt\n!source foo\n!dest bar\n!do\n"
               "!file big.txt\n!do\n"
               "!file after.txt\n!do\n"
               "not a directive\n");
    run_options limited = options();
    limited.file_size_limit = 300000;
    run_result result = run({"s.txt"}, limited);
    EXPECT_EQ(result.out, line_file_error(6, "big.txt"));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(read_file(dir / "first.txt"), "bar\nbar\n");
    EXPECT_TRUE(read_file(dir / "big.txt") == big) << "big.txt changed";
    EXPECT_EQ(read_file(dir / "after.txt"), "foo\n");
    EXPECT_EQ(list_dir(dir.path()), (names{"after.txt", "big.txt", "first.txt", "s.txt"}));
}

// A kill at any moment ----------------------------------------------------------

using Crash = EndToEnd;

// Kills runs on a 32 MiB file at moments spread over a whole run, densest
// around the moment the new content takes the file's place, when the flush,
// the naming of the temporary file and the rename happen.
TEST_F(Crash, KilledRunLeavesTheWholeOldOrTheWholeNewContent) {
    const std::string temp = file + ".tmp";
    const std::string old_content = repeat("k.x k.x.y kk some text k\n", (32 << 20) / 25);
    const std::string new_content = replace_all(old_content, "k", "KQ");
    const mode_t mode = 0640;
    auto fresh = [&] {
        write_file(file, old_content);
        ASSERT_EQ(chmod(file.c_str(), mode), 0);
    };
    run_options slow = options();
    slow.time_limit_seconds = 60;

    // When, after its start, a whole run renames the new file into place:
    // the median of three, seen from here as the change of the file's inode.
    std::vector<double> renamed_after;
    for (int i = 0; i < 3; ++i) {
        fresh();
        const ino_t old_inode = stat_of(file).st_ino;
        auto start = clock_type::now();
        test_util::child running = test_util::start_binary({"f.txt", "k", "KQ"}, slow);
        struct stat now {};
        while (lstat(file.c_str(), &now) == 0 && now.st_ino == old_inode &&
               clock_type::now() - start < std::chrono::seconds(30)) {
            usleep(200);
        }
        renamed_after.push_back(std::chrono::duration<double>(clock_type::now() - start).count());
        run_result result = test_util::finish(running);
        ASSERT_EQ(result.status, 0) << result.out;
        ASSERT_TRUE(read_file(file) == new_content) << "a whole run gave the wrong content";
    }
    std::sort(renamed_after.begin(), renamed_after.end());
    const double rename_time = renamed_after[1];

    const unsigned seed = std::random_device{}();
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<double> points; // fractions of rename_time
    for (int i = 0; i < 12; ++i) points.push_back((i + unit(random)) * 0.85 / 12);
    for (int i = 0; i < 12; ++i) points.push_back(0.85 + (i + unit(random)) * 0.2 / 12);

    int killed = 0, killed_new = 0, left_temp = 0;
    for (size_t round = 0; round < points.size() || (killed < 20 && round < 60); ++round) {
        const double point = round < points.size() ? points[round] : unit(random);
        SCOPED_TRACE("seed " + std::to_string(seed) + ", kill at " + std::to_string(point) + " of " +
                     std::to_string(rename_time) + " s");
        fresh();
        auto start = clock_type::now();
        test_util::child running = test_util::start_binary({"f.txt", "k", "KQ"}, slow);
        std::this_thread::sleep_until(start + std::chrono::duration<double>(point * rename_time));
        ASSERT_EQ(kill(running.pid, SIGKILL), 0);
        run_result result = test_util::finish(running);
        ASSERT_FALSE(result.timed_out);
        if (result.signal != SIGKILL) {
            EXPECT_EQ(result.status, 0) << "a run that ended before the kill failed: " << result.out;
        }

        struct stat info {};
        ASSERT_EQ(lstat(file.c_str(), &info), 0) << "the file is missing";
        EXPECT_TRUE(S_ISREG(info.st_mode));
        // wine turns the access control list the Windows build copies into
        // permission bits of its own.
        if (!test_util::under_wine()) {
            EXPECT_EQ(info.st_mode & 07777, mode);
        }
        std::string now = read_file(file);
        bool is_new = now == new_content;
        EXPECT_TRUE(now == old_content || is_new) << "the file holds neither content: " << difference(now, old_content);
        if (result.signal == SIGKILL) {
            ++killed;
            killed_new += is_new;
        }
        if (access(temp.c_str(), F_OK) == 0) {
            ++left_temp;
            std::string kept = read_file(temp);
            EXPECT_TRUE(kept == new_content) << "the temporary file left behind is not the whole new content: "
                                             << difference(kept, new_content);
            ASSERT_EQ(unlink(temp.c_str()), 0);
        }
        EXPECT_EQ(list_dir(dir.path()), names{"f.txt"});
    }
    EXPECT_GE(killed, 20) << "too few kills landed while the run was going on";
    RecordProperty("rename_after_ms", static_cast<int>(rename_time * 1000));
    RecordProperty("kills", killed);
    RecordProperty("kills_after_the_rename", killed_new);
    RecordProperty("temporary_files_left", left_temp);
}

// Concurrent runs ---------------------------------------------------------------
// Each pass puts its tag right after every "k", so the final content names
// the passes that ran and their order.

using Concurrency = EndToEnd;

const std::string tagged_content = repeat("k.k.k.k k.k.k.k\n", 65536); // 1 MiB

std::string after_passes(const std::string& order) {
    return replace_all(tagged_content, "k", "k" + std::string(order.rbegin(), order.rend()));
}

// A run must succeed silently: a concurrent run waits for its turn.
void expect_success(const run_result& result) {
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.status, 0);
}

// The contents after each order in which two runs could have taken turns.
std::set<std::string> outcomes(const std::string& script_passes, char direct_tag) {
    std::set<std::string> result;
    for (size_t at = 0; at <= script_passes.size(); ++at) {
        std::string order = script_passes;
        order.insert(order.begin() + static_cast<std::ptrdiff_t>(at), direct_tag);
        result.insert(after_passes(order));
    }
    return result;
}

std::string first_line(const std::string& text) { return text.substr(0, text.find('\n')); }

TEST_F(Concurrency, TwoRunsStartedTogetherTakeTurns) {
    for (int round = 0; round < 30; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        write_file(file, tagged_content);
        test_util::start_gate gate;
        run_options together = options();
        together.gate = &gate;
        test_util::child a = test_util::start_binary({"f.txt", "k", "kA"}, together);
        test_util::child b = test_util::start_binary({"f.txt", "k", "kB"}, together);
        gate.release();
        expect_success(test_util::finish(a));
        expect_success(test_util::finish(b));
        std::string now = read_file(file);
        EXPECT_EQ(outcomes("A", 'B').count(now), 1u) << "an update was lost; first line now: " << first_line(now);
        EXPECT_EQ(list_dir(dir.path()), names{"f.txt"});
    }
}

// A run that waits for the lock checks the file it finally holds: a
// read-only file renamed into place meanwhile is refused, not rewritten.
TEST_F(Concurrency, FileSwappedWhileWaitingIsCheckedAgain) {
    if (test_util::under_wine()) GTEST_SKIP() << "holds the Linux build's turn, which the Windows build does not take";
    if (!test_util::running_as_root())
        GTEST_SKIP() << "needs root to run the tool as another user";
    ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
    write_file(file, "hello\n");
    ASSERT_EQ(chmod(file.c_str(), 0666), 0);
    write_file(dir / "ro.txt", "hello read-only\n");
    ASSERT_EQ(chmod((dir / "ro.txt").c_str(), 0444), 0);

    // Held as another run of the tool holds it.
    platform::owned<platform::target> held;
    ASSERT_EQ(platform::open_target(file, held), platform::failure::none);
    run_options as_nobody = options();
    as_nobody.as_nobody = true;
    test_util::child waiting = test_util::start_binary({"f.txt", "hello", "bye"}, as_nobody);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(waitpid(waiting.pid, nullptr, WNOHANG), 0) << "the run did not wait for its turn";
    ASSERT_EQ(rename((dir / "ro.txt").c_str(), file.c_str()), 0);
    held.reset();

    run_result result = test_util::finish(waiting);
    EXPECT_EQ(result.out, file_error("f.txt"));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(read_file(file), "hello read-only\n");
    EXPECT_EQ(list_dir(dir.path()), names{"f.txt"});
}

TEST_F(Concurrency, ScriptPassesInterleaveOnlyAsWholePasses) {
    write_file(dir / "s.txt", "!file f.txt\n!source k\n!dest k1\n!do\n!dest k2\n!do\n");
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        write_file(file, tagged_content);
        test_util::start_gate gate;
        run_options together = options();
        together.gate = &gate;
        test_util::child script = test_util::start_binary({"s.txt"}, together);
        test_util::child direct = test_util::start_binary({"f.txt", "k", "kD"}, together);
        gate.release();
        expect_success(test_util::finish(script));
        expect_success(test_util::finish(direct));
        std::string now = read_file(file);
        EXPECT_EQ(outcomes("12", 'D').count(now), 1u) << "first line now: " << first_line(now);
        EXPECT_EQ(list_dir(dir.path()), (names{"f.txt", "s.txt"}));
    }
}

// The lock that runs take is theirs alone: whatever lock another program
// holds on the file, a run goes ahead at once.
TEST_F(Concurrency, OtherProgramsLocksDoNotHoldARunUp) {
    auto posix_lock = [](int command, short type, off_t length) {
        return [=](int fd) {
            struct flock lock {};
            lock.l_type = type;
            lock.l_whence = SEEK_SET;
            lock.l_len = length;
            return fcntl(fd, command, &lock) == 0;
        };
    };
    struct lock_case {
        const char* name;
        std::function<bool(int)> take;
    };
    const std::vector<lock_case> cases = {
        {"flock shared", [](int fd) { return flock(fd, LOCK_SH) == 0; }},
        {"flock exclusive", [](int fd) { return flock(fd, LOCK_EX) == 0; }},
        {"record lock on the data", posix_lock(F_SETLK, F_WRLCK, 4096)},
        {"open-file-description lock on the data", posix_lock(F_OFD_SETLK, F_WRLCK, 4096)},
        // These cover the byte the runs lock too; a reader may take them.
        {"record read lock on the whole file", posix_lock(F_SETLK, F_RDLCK, 0)},
        {"open-file-description read lock on the whole file", posix_lock(F_OFD_SETLK, F_RDLCK, 0)},
        {"record write lock on the whole file", posix_lock(F_SETLK, F_WRLCK, 0)},
    };
    for (const lock_case& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(file, "a foo\n");
        int fd = open(file.c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_TRUE(c.take(fd)) << std::strerror(errno);
        run_options limited = options();
        limited.time_limit_seconds = 10;
        run_result result = run({"f.txt", "foo", "bar"}, limited);
        close(fd);
        expect_success(result);
        EXPECT_EQ(read_file(file), "a bar\n");
    }
}

// A run that cannot take its turn gives up after the wait allowed, changing
// nothing, and takes its turn at once when the other run is done.
TEST_F(Concurrency, WaitForAnotherRunIsBounded) {
    if (test_util::under_wine()) GTEST_SKIP() << "tests the Linux platform module in this process";
    write_file(file, "a foo\n");
    int status = test_util::run_in_fork([&] {
        platform::owned<platform::target> first;
        if (platform::open_target(file, first) != platform::failure::none) return 1;
        platform::owned<platform::target> second;
        auto start = clock_type::now();
        if (platform::open_target(file, second, std::chrono::milliseconds(300)) != platform::failure::busy)
            return 2;
        if (clock_type::now() - start < std::chrono::milliseconds(300)) return 3;
        first.reset();
        if (platform::open_target(file, second, std::chrono::milliseconds(0)) != platform::failure::none)
            return 4;
        return 0;
    }, 20);
    EXPECT_EQ(status, 0) << "1: not held, 2: not refused as busy, 3: refused before the wait, "
                            "4: still busy after the release, -1: waited without end";
    EXPECT_EQ(read_file(file), "a foo\n");
    EXPECT_EQ(list_dir(dir.path()), names{"f.txt"});
}

// Other programs writing ---------------------------------------------------------
// A program that does not take the lock changes the file between the moment a
// run opens it and its rename: the run must fail and keep what they wrote.

using ForeignWriter = EndToEnd;

// Opens `path` for a rewrite and writes new content, lets `change` act as
// another program would, then commits and removes what is left: returns
// what the commit gave.
platform::failure rewrite_around(const std::string& path, const std::function<void()>& change) {
    platform::owned<platform::run> run = platform::start_run();
    platform::owned<platform::target> target;
    platform::owned<platform::temp_file> temp;
    if (platform::open_target(path, target) != platform::failure::none ||
        platform::create_temp(*target, temp) != platform::failure::none ||
        platform::append(*temp, "new\n", 4) != platform::failure::none) {
        ADD_FAILURE() << "could not start the rewrite of " << path;
        return platform::failure::none;
    }
    change();
    platform::failure committed = platform::commit(*run, *target, *temp);
    EXPECT_TRUE(platform::discard_temp(*temp));
    return committed;
}

TEST_F(ForeignWriter, ChangeDuringTheRewriteFailsThePassAndKeepsTheirData) {
    if (test_util::under_wine()) GTEST_SKIP() << "tests the Linux platform module in this process";
    const std::string old_content = repeat("old foo\n", 1000);
    struct change_case {
        const char* name;
        std::function<void(const std::string&)> change;
        std::string theirs; // the file's content afterwards
    };
    auto overwrite = [](const std::string& text) {
        return [text](const std::string& path) { write_file(path, text); };
    };
    const std::vector<change_case> cases = {
        {"appended", [](const std::string& path) {
             int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
             EXPECT_EQ(write(fd, "logged\n", 7), 7);
             close(fd);
         }, old_content + "logged\n"},
        {"saved in place, shorter", overwrite("theirs\n"), "theirs\n"},
        {"saved in place, same size", overwrite(repeat("new foo\n", 1000)), repeat("new foo\n", 1000)},
        {"saved by a rename", [](const std::string& path) {
             write_file(path + ".saved", "renamed\n");
             EXPECT_EQ(rename((path + ".saved").c_str(), path.c_str()), 0);
         }, "renamed\n"},
    };
    for (const change_case& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(file, old_content);
        platform::failure committed = rewrite_around(file, [&] {
            // Past the granularity of coarse file times.
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            c.change(file);
        });
        EXPECT_EQ(committed, platform::failure::changed);
        EXPECT_EQ(read_file(file), c.theirs);
        EXPECT_EQ(list_dir(dir.path()), names{"f.txt"});
    }
}

// Where file times are kept in clock ticks (ramfs always; ext4, tmpfs and
// others on older kernels), a same-size write right after the open moves
// neither time: the run must see it all the same.
TEST_F(ForeignWriter, SameSizeWriteWithinOneClockTickIsSeen) {
    if (test_util::under_wine()) GTEST_SKIP() << "tests the Linux platform module in this process";
    if (!test_util::running_as_root())
        GTEST_SKIP() << "needs root to mount a file system with coarse times";
    const std::string ram = dir / "ram";
    ASSERT_EQ(mkdir(ram.c_str(), 0755), 0);
    if (mount("none", ram.c_str(), "ramfs", 0, nullptr) != 0)
        GTEST_SKIP() << "cannot mount ramfs here: " << std::strerror(errno);
    struct unmount {
        std::string path;
        ~unmount() { umount2(path.c_str(), MNT_DETACH); }
    } unmount_at_end{ram};
    const std::string path = ram + "/f.txt";
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        write_file(path, "old foo\n");
        EXPECT_EQ(rewrite_around(path, [&] { write_file(path, "new foo\n"); }),
                  platform::failure::changed);
        EXPECT_EQ(read_file(path), "new foo\n");
    }
}

// A file that keeps growing (a logger writing to it) is not copied on and
// on until the disk is full: reading stops at the size it had when opened.
TEST_F(ForeignWriter, FileGrowingDuringTheReadStopsTheRead) {
    if (test_util::under_wine()) GTEST_SKIP() << "tests the Linux platform module in this process";
    write_file(file, "0123456789");
    platform::owned<platform::target> target;
    ASSERT_EQ(platform::open_target(file, target), platform::failure::none);
    int fd = open(file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_EQ(write(fd, "more", 4), 4);
    close(fd);
    char block[64];
    EXPECT_EQ(platform::read_target(*target, block, sizeof block), -1);
}

// Symbolic links ----------------------------------------------------------------

using Links = EndToEnd;

TEST_F(Links, LinkLeadingNowhereIsRefusedAndKept) {
    struct link_case {
        const char* name;
        std::string target;
        const char* second_link; // made too when not null: "nowhere2" -> "nowhere"
    };
    const std::vector<link_case> cases = {
        {"dangling", "nowhere", nullptr},
        {"into a missing directory", dir / "gone/nowhere", nullptr},
        {"to itself", "f.txt", nullptr},
        {"to a dangling link", "nowhere2", "nowhere"},
    };
    for (const link_case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(symlink(c.target.c_str(), file.c_str()), 0);
        if (c.second_link) {
            ASSERT_EQ(symlink(c.second_link, (dir / "nowhere2").c_str()), 0);
        }
        names before = list_dir(dir.path());
        run_result result = run({"f.txt", "foo", "bar"});
        EXPECT_EQ(result.out, file_error("f.txt"));
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(link_target(file), c.target);
        EXPECT_EQ(list_dir(dir.path()), before) << "nothing may be made where the link leads";
        test_util::remove_tree(file);
        test_util::remove_tree(dir / "nowhere2");
    }
}

// The file a link leads to is rewritten in its own directory: the link's
// directory may be read-only and hold the link's name with ".tmp" appended,
// while the file's own name with ".tmp" blocks the rewrite.
TEST_F(Links, LinkToAnotherDirectoryRewritesTheFileBesideItself) {
    ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
    for (const char* sub : {"links", "data", "hop", "hop/deeper"}) ASSERT_EQ(mkdir((dir / sub).c_str(), 0755), 0);
    const std::string real = dir / "data/real.txt";
    ASSERT_EQ(symlink("../../data/real.txt", (dir / "hop/deeper/r.txt").c_str()), 0);
    if (test_util::running_as_root()) {
        ASSERT_EQ(chown((dir / "data").c_str(), test_util::nobody_id, test_util::nobody_id), 0);
    }
    const std::string link = dir / "links/f.txt";
    write_file(dir / "links/f.txt.tmp", "not ours");

    struct link_case {
        const char* name;
        std::string target;
        bool temp_taken; // data/real.txt.tmp exists
    };
    const std::vector<link_case> cases = {
        {"relative", "../data/real.txt", false},
        {"absolute", real, false},
        {"through a link in a deeper directory", "../hop/deeper/r.txt", false},
        {"temporary name beside the file taken", "../data/real.txt", true},
    };
    for (const link_case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(chmod((dir / "links").c_str(), 0755), 0);
        test_util::remove_tree(link);
        ASSERT_EQ(symlink(c.target.c_str(), link.c_str()), 0);
        ASSERT_EQ(chmod((dir / "links").c_str(), 0555), 0);
        write_file(real, "old foo\n");
        if (test_util::running_as_root()) {
            ASSERT_EQ(chown(real.c_str(), test_util::nobody_id, test_util::nobody_id), 0);
        }
        if (c.temp_taken) write_file(real + ".tmp", "keep me");

        run_options as_user = options();
        as_user.as_nobody = true;
        run_result result = run({"links/f.txt", "foo", "bar"}, as_user);
        if (c.temp_taken) {
            EXPECT_EQ(result.out, file_error("links/f.txt"));
            EXPECT_EQ(result.status, 1);
            EXPECT_EQ(read_file(real), "old foo\n");
            EXPECT_EQ(read_file(real + ".tmp"), "keep me");
            ASSERT_EQ(unlink((real + ".tmp").c_str()), 0);
        } else {
            EXPECT_EQ(result.out, "");
            EXPECT_EQ(result.status, 0);
            EXPECT_EQ(read_file(real), "old bar\n");
        }
        EXPECT_EQ(link_target(link), c.target);
        // Under wine, see Crash above.
        if (!test_util::under_wine()) {
            EXPECT_EQ(stat_of(real).st_mode & 07777, 0644u);
        }
        EXPECT_EQ(list_dir(dir / "data"), names{"real.txt"});
        EXPECT_EQ(list_dir(dir / "links"), (names{"f.txt", "f.txt.tmp"}));
        EXPECT_EQ(read_file(dir / "links/f.txt.tmp"), "not ours");
    }
}

// In a sticky, world-writable directory such as /tmp, a link is followed only
// when it belongs to the one who runs the tool or to the directory's owner:
// otherwise anyone could point a file that root rewrites at root's own.
TEST_F(Links, LinkPlantedInASharedDirectoryIsNotFollowed) {
    if (test_util::under_wine()) GTEST_SKIP() << "wine follows Unix links below the Windows calls, where the tool cannot see them";
    if (!test_util::running_as_root())
        GTEST_SKIP() << "needs root to own links as another user";
    const uid_t root = 0, nobody = test_util::nobody_id;
    struct shared_case {
        const char* name;
        mode_t directory_mode;
        uid_t directory_owner;
        uid_t link_owner;
        bool followed;
    };
    const std::vector<shared_case> cases = {
        {"another user's link in a sticky shared directory", 01777, root, nobody, false},
        {"our own link there", 01777, root, root, true},
        {"the directory owner's link there", 01777, nobody, nobody, true},
        {"another user's link in a shared directory without the sticky bit", 0777, root, nobody, true},
        {"another user's link in a sticky directory only its owner writes", 01755, root, nobody, true},
    };
    ASSERT_EQ(mkdir((dir / "shared").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir / "private").c_str(), 0700), 0);
    const std::string secret = dir / "private/secret.conf";
    // A link to the file itself, and a link to its directory used as a
    // component of the path.
    struct planted {
        std::string link;
        std::string target;
        std::string path;
    };
    const std::vector<planted> links = {
        {dir / "shared/shared.conf", secret, "shared/shared.conf"},
        {dir / "shared/evil", dir / "private", "shared/evil/secret.conf"},
    };
    for (const shared_case& c : cases) {
        for (const planted& l : links) {
            SCOPED_TRACE(std::string(c.name) + ": " + l.path);
            write_file(secret, "password=secret\n");
            ASSERT_EQ(symlink(l.target.c_str(), l.link.c_str()), 0);
            ASSERT_EQ(lchown(l.link.c_str(), c.link_owner, c.link_owner), 0);
            ASSERT_EQ(chown((dir / "shared").c_str(), c.directory_owner, c.directory_owner), 0);
            ASSERT_EQ(chmod((dir / "shared").c_str(), c.directory_mode), 0);

            run_result result = run({l.path, "secret", "PWNED"});
            EXPECT_EQ(result.status, c.followed ? 0 : 1);
            EXPECT_EQ(result.out, c.followed ? "" : file_error(l.path));
            EXPECT_EQ(read_file(secret), c.followed ? "password=PWNED\n" : "password=secret\n");
            EXPECT_EQ(link_target(l.link), l.target);
            EXPECT_EQ(list_dir(dir / "private"), names{"secret.conf"});
            ASSERT_EQ(unlink(l.link.c_str()), 0);
        }
    }
}

// A script is not read through a link planted in a shared directory either.
TEST_F(Links, ScriptLinkPlantedInASharedDirectoryIsNotRead) {
    if (test_util::under_wine()) GTEST_SKIP() << "wine follows Unix links below the Windows calls, where the tool cannot see them";
    if (!test_util::running_as_root())
        GTEST_SKIP() << "needs root to own links as another user";
    ASSERT_EQ(mkdir((dir / "shared").c_str(), 0755), 0);
    ASSERT_EQ(chmod((dir / "shared").c_str(), 01777), 0);
    write_file(dir / "script.txt", "!file f.txt\n!source foo\n!dest bar\n!do\n");
    // Our own link to the planted one: the chain is checked link by link.
    ASSERT_EQ(symlink("shared/s.txt", (dir / "ours.txt").c_str()), 0);
    const std::string link = dir / "shared/s.txt";
    for (uid_t owner : {test_util::nobody_id, uid_t(0)}) {
        for (const char* script : {"shared/s.txt", "ours.txt"}) {
            SCOPED_TRACE("link owner " + std::to_string(owner) + ", " + script);
            write_file(file, "a foo\n");
            ASSERT_EQ(symlink("../script.txt", link.c_str()), 0);
            ASSERT_EQ(lchown(link.c_str(), owner, owner), 0);
            run_result result = run({script});
            EXPECT_EQ(result.out, owner == 0 ? "" : "!Error: no file found\n");
            EXPECT_EQ(read_file(file), owner == 0 ? "a bar\n" : "a foo\n");
            ASSERT_EQ(unlink(link.c_str()), 0);
        }
    }
}

// A link in /proc stands for an open file; the path it reads as may since
// name another file, which must not be rewritten in its place.
TEST_F(Links, OpenFileLinkWhosePathNowNamesAnotherFileIsRefused) {
    if (test_util::under_wine()) GTEST_SKIP() << "a Linux /proc link, which wine follows by its text";
    write_file(dir / "del", "hello\n");
    int held = open((dir / "del").c_str(), O_RDONLY); // seen by the child through /proc
    ASSERT_GE(held, 0);
    ASSERT_EQ(unlink((dir / "del").c_str()), 0);
    write_file(dir / "del (deleted)", "decoy hello\n");
    const std::string through_proc = "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(held);
    run_result result = run({through_proc, "hello", "PWN"});
    close(held);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, file_error(through_proc));
    EXPECT_EQ(read_file(dir / "del (deleted)"), "decoy hello\n");
}

// Permission bits, owner and attributes ------------------------------------------
// A write clears set-ID bits and capabilities, so they are given to the new
// file after its last write.

using Attributes = EndToEnd;

bool set_flags(const std::string& path, int flags) {
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    bool done = fd >= 0 && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    if (fd >= 0) close(fd);
    return done;
}

int get_flags(const std::string& path) {
    int flags = 0;
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    EXPECT_TRUE(fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) << std::strerror(errno);
    if (fd >= 0) close(fd);
    return flags;
}

TEST_F(Attributes, SetIdBitsSurviveARewriteByTheOwner) {
    if (test_util::under_wine()) GTEST_SKIP() << "set-ID bits have no Windows counterpart";
    if (!test_util::running_as_root())
        GTEST_SKIP() << "needs root to run the tool as an unprivileged owner";
    ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
    for (mode_t mode : {04755, 02775, 06750}) {
        SCOPED_TRACE(std::to_string(mode));
        write_file(file, "a foo\n");
        ASSERT_EQ(chown(file.c_str(), test_util::nobody_id, test_util::nobody_id), 0);
        ASSERT_EQ(chmod(file.c_str(), mode), 0);
        run_options as_owner = options();
        as_owner.as_nobody = true;
        run_result result = run({"f.txt", "foo", "bar"}, as_owner);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(read_file(file), "a bar\n");
        EXPECT_EQ(stat_of(file).st_mode & 07777, mode);
        EXPECT_EQ(stat_of(file).st_uid, test_util::nobody_id);
    }
}

// Root rewrites the file; when it belongs to someone else the new file is
// handed over to them, which clears set-ID bits and capabilities again.
TEST_F(Attributes, FileCapabilitiesAndSetIdBitsSurviveARewriteByRoot) {
    if (test_util::under_wine()) GTEST_SKIP() << "capabilities have no Windows counterpart";
    if (!test_util::running_as_root())
        GTEST_SKIP() << "needs root to set file capabilities";
    // cap_net_raw=ep, as the system stores it (version 2, effective bit set).
    const uint32_t capability[5] = {0x02000001, 1u << 13, 0, 0, 0};
    for (uid_t owner : {uid_t(0), test_util::nobody_id}) {
        SCOPED_TRACE("owner " + std::to_string(owner));
        write_file(file, "a foo\n");
        ASSERT_EQ(chown(file.c_str(), owner, owner), 0);
        ASSERT_EQ(chmod(file.c_str(), 04755), 0);
        if (setxattr(file.c_str(), "security.capability", capability, sizeof capability, 0) != 0)
            GTEST_SKIP() << "file capabilities not supported here: " << std::strerror(errno);
        run_result result = run({"f.txt", "foo", "bar"});
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(read_file(file), "a bar\n");
        uint32_t kept[5] = {};
        EXPECT_EQ(getxattr(file.c_str(), "security.capability", kept, sizeof kept), ssize_t(sizeof kept))
            << "the capabilities were lost";
        EXPECT_EQ(std::memcmp(kept, capability, sizeof kept), 0);
        EXPECT_EQ(stat_of(file).st_mode & 07777, 04755u);
        EXPECT_EQ(stat_of(file).st_uid, owner);
    }
}

// A user who may write a file but not make it theirs, or not keep its group,
// gets a new file that grants nobody more than the old one did.
TEST_F(Attributes, OwnerOrGroupThatCannotBeKeptGrantsNoMore) {
    if (test_util::under_wine()) GTEST_SKIP() << "Unix owners and permission bits; the Windows build copies the access control list";
    if (!test_util::running_as_root())
        GTEST_SKIP() << "needs root to run the tool as another user";
    ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
    ASSERT_EQ(mkdir((dir / "sg").c_str(), 0777), 0);
    const gid_t daemon_group = 1;
    ASSERT_EQ(chown((dir / "sg").c_str(), 0, daemon_group), 0);
    ASSERT_EQ(chmod((dir / "sg").c_str(), 02777), 0);
    const uid_t nobody = test_util::nobody_id;
    struct keep_case {
        const char* name;
        std::string path;
        uid_t owner;
        gid_t group;
        mode_t mode;
        uid_t owner_after;
        gid_t group_after;
        mode_t mode_after;
    };
    const std::vector<keep_case> cases = {
        {"root's set-user-ID file that anyone may write", "f.txt", 0, 0, 04666, nobody, nobody, 0666},
        {"our set-group-ID file of a group we are not in", "f.txt", nobody, 0, 02764, nobody, nobody, 0744},
        {"group bits in a set-group-ID directory of another group", "sg/f.txt", nobody, 0, 0640,
         nobody, daemon_group, 0600},
    };
    for (const keep_case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir / c.path;
        write_file(path, "a foo\n");
        ASSERT_EQ(chown(path.c_str(), c.owner, c.group), 0);
        ASSERT_EQ(chmod(path.c_str(), c.mode), 0);
        run_options as_nobody = options();
        as_nobody.as_nobody = true;
        run_result result = run({c.path, "foo", "bar"}, as_nobody);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(read_file(path), "a bar\n");
        struct stat after = stat_of(path);
        EXPECT_EQ(after.st_uid, c.owner_after);
        EXPECT_EQ(after.st_gid, c.group_after);
        EXPECT_EQ(after.st_mode & 07777, c.mode_after);
        ASSERT_EQ(unlink(path.c_str()), 0);
    }
}

// How a file is kept (not dumped, no access times) is kept too.
TEST_F(Attributes, FileFlagsSurviveARewrite) {
    if (test_util::under_wine()) GTEST_SKIP() << "Linux inode flags have no Windows counterpart";
    const int flags = FS_NODUMP_FL | FS_NOATIME_FL;
    write_file(file, "a foo\n");
    if (!set_flags(file, flags))
        GTEST_SKIP() << "this file system has no such flags: " << std::strerror(errno);
    run_result result = run({"f.txt", "foo", "bar"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(read_file(file), "a bar\n");
    EXPECT_EQ(get_flags(file) & flags, flags);
}

// Append-only and immutable marks ----------------------------------------------
// Nothing can be renamed over such a file, nor removed from such a directory:
// the run must refuse before it names anything.

using Sealed = EndToEnd;

TEST_F(Sealed, AppendOnlyOrImmutableFileOrDirectoryIsRefused) {
    if (test_util::under_wine()) GTEST_SKIP() << "append-only and immutable marks have no Windows counterpart, and wine hides them";
    if (!test_util::running_as_root())
        GTEST_SKIP() << "needs root to mark files append-only";
    ASSERT_EQ(mkdir((dir / "d").c_str(), 0755), 0);
    const std::string inner = dir / "d/f.txt";
    struct sealed_case {
        const char* name;
        std::string marked; // the file or the directory
        int flag;
    };
    const std::vector<sealed_case> cases = {
        {"append-only directory", dir / "d", FS_APPEND_FL},
        {"immutable directory", dir / "d", FS_IMMUTABLE_FL},
        {"append-only file", inner, FS_APPEND_FL},
        {"immutable file", inner, FS_IMMUTABLE_FL},
    };
    for (const sealed_case& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(inner, "a foo\n");
        if (!set_flags(c.marked, c.flag))
            GTEST_SKIP() << "this file system has no such marks: " << std::strerror(errno);
        run_result result = run({"d/f.txt", "foo", "bar"});
        std::vector<std::string> left = list_dir(dir / "d");
        ASSERT_TRUE(set_flags(c.marked, 0));
        EXPECT_EQ(result.out, file_error("d/f.txt"));
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(read_file(inner), "a foo\n");
        EXPECT_EQ(left, names{"f.txt"});
        // And the next run, once the mark is gone, is not blocked by a leftover.
        EXPECT_EQ(run({"d/f.txt", "foo", "bar"}).status, 0);
    }
}

// Signals ------------------------------------------------------------------------
// A message that cannot be written changes nothing: the same work is done and
// the exit status is the same.

using Signals = EndToEnd;

TEST_F(Signals, MessagesToAClosedPipeChangeNothing) {
    struct pipe_case {
        const char* name;
        std::vector<std::string> args;
        int status;
        std::string after;
    };
    write_file(dir / "ok.txt", "nonsense\n!file f.txt\n!source foo\n!dest bar\n!do\nmore nonsense\n");
    write_file(dir / "fails.txt", "nonsense\n!file f.txt\n!source foo\n!dest bar\n!do\n!file gone\n!do\n");
    const std::vector<pipe_case> cases = {
        {"script with lines not in the language", {"ok.txt"}, 0, "a bar\n"},
        {"script with a failing pass", {"fails.txt"}, 1, "a bar\n"},
        {"direct run that fails", {"gone", "foo", "bar"}, 1, "a foo\n"},
        {"usage text", {}, 1, "a foo\n"},
    };
    for (const pipe_case& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(file, "a foo\n");
        run_options closed = options();
        closed.stdout_closed = true;
        run_result result = run(c.args, closed);
        EXPECT_EQ(result.signal, 0);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(read_file(file), c.after);
    }
}

// Input at the edges ------------------------------------------------------------

using BadInput = EndToEnd;

TEST_F(BadInput, SearchTextWithLineFeedNeverMatches) {
    const std::string content = "a\nb\r\na\nb";
    for (const std::string search : {"a\nb", "\n", "b\r\na"}) {
        SCOPED_TRACE(::testing::PrintToString(search));
        write_file(file, content);
        struct timespec old_time[2] = {{1000000000, 0}, {1000000000, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), old_time, 0), 0);
        struct stat before = stat_of(file);
        run_result result = run({"f.txt", search, "X"});
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(read_file(file), content);
        struct stat after = stat_of(file);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
        EXPECT_EQ(list_dir(dir.path()), names{"f.txt"});
    }
}

// One line of `count` chunks, written and checked a chunk at a time.
void write_chunks(const std::string& path, const std::string& chunk, size_t count) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    for (size_t i = 0; i < count; ++i) ASSERT_EQ(write(fd, chunk.data(), chunk.size()), static_cast<ssize_t>(chunk.size()));
    ASSERT_EQ(write(fd, "\n", 1), 1);
    close(fd);
}

bool holds_chunks(const std::string& path, const std::string& chunk, size_t count) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::string buffer(chunk.size(), '\0');
    bool same = true;
    for (size_t i = 0; i <= count && same; ++i) {
        size_t want = i < count ? chunk.size() : 2; // the line feed, and nothing after it
        size_t got = 0;
        for (ssize_t n; got < want && (n = read(fd, &buffer[got], want - got)) > 0;) got += static_cast<size_t>(n);
        same = i < count ? got == want && buffer == chunk : got == 1 && buffer[0] == '\n';
    }
    close(fd);
    return same;
}

// Memory does not grow with the length of a line: a 100 MB line takes no
// more than a 1 MB one.
TEST_F(BadInput, HundredMegabyteLineRunsInBoundedMemory) {
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "the address sanitizer's own memory hides the tool's";
#endif
    const std::string unit = "0123456789 NEEDLE abcdefghijklmnopqrstuvwxyz ";
    const size_t chunk_units = (1 << 20) / unit.size();
    const std::string chunk = repeat(unit, chunk_units);
    const std::string new_chunk = repeat(replace_all(unit, "NEEDLE", "pin"), chunk_units);
    long peak_kib[2] = {};
    const size_t chunk_counts[2] = {1, 100};
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(std::to_string(chunk_counts[i]) + " MiB line");
        write_chunks(file, chunk, chunk_counts[i]);
        run_options measured = options();
        measured.time_limit_seconds = 120;
        measured.measure_peak_memory = true;
        run_result result = run({"f.txt", "NEEDLE", "pin"}, measured);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.status, 0);
        EXPECT_TRUE(holds_chunks(file, new_chunk, chunk_counts[i])) << "wrong content";
        EXPECT_EQ(list_dir(dir.path()), names{"f.txt"});
        peak_kib[i] = result.peak_rss_kib;
        EXPECT_GT(peak_kib[i], 0) << "no measure";
        // Under wine the measure takes in wine's own memory; only its growth tells.
        if (!test_util::under_wine()) {
            EXPECT_LT(peak_kib[i], 8 * 1024) << "peak resident memory in KiB";
        }
    }
    EXPECT_LT(peak_kib[1], peak_kib[0] + 1024) << "memory grew with the line: " << peak_kib[0] << " KiB for 1 MiB, "
                                               << peak_kib[1] << " KiB for 100 MiB";
    RecordProperty("peak_kib_1_mib", static_cast<int>(peak_kib[0]));
    RecordProperty("peak_kib_100_mib", static_cast<int>(peak_kib[1]));
}

// Every byte value, NUL, CR, LF and Ctrl-Z among them, 1000 times over, so
// that occurrences also meet the edges of the engine's block.
std::string every_byte(size_t times) {
    std::string block;
    for (int value = 0; value < 256; ++value) block += static_cast<char>(value);
    return repeat(block, times);
}

TEST_F(BadInput, BinaryFileIsRewrittenExactly) {
    const std::string content = every_byte(1000);
    const std::string nul_search("\0\x01\x02", 3);
    const std::string nul_replacement("[\0]", 3);
    struct binary_case {
        const char* name;
        std::vector<std::string> args;
        std::string script; // written to s.txt when not empty
        std::string expected;
    };
    const std::vector<binary_case> cases = {
        {"direct mode", {"f.txt", "\xfe\xff", "<\x1a>"}, "", replace_all(content, "\xfe\xff", "<\x1a>")},
        {"script with NUL bytes in its values",
         {"s.txt"},
         "!file f.txt\n!source " + nul_search + "\n!dest " + nul_replacement + "\n!do\n",
         replace_all(content, nul_search, nul_replacement)},
    };
    for (const binary_case& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(file, content);
        if (!c.script.empty()) write_file(dir / "s.txt", c.script);
        run_result result = run(c.args);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.status, 0);
        std::string now = read_file(file);
        EXPECT_TRUE(now == c.expected) << difference(now, c.expected);
    }
}

// A NUL byte in a file name would make it the name of another, shorter path.
TEST_F(BadInput, ScriptFileNameWithNulByteNamesNoFile) {
    write_file(dir / "a.txt", "foo\n");
    const std::string name("a.txt\0junk", 10);
    write_file(dir / "s.txt", "!source foo\n!dest bar\n!file " + name + "\n!do\n");
    run_result result = run({"s.txt"});
    EXPECT_EQ(result.out, line_file_error(4, name));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(read_file(dir / "a.txt"), "foo\n");
    EXPECT_EQ(list_dir(dir.path()), (names{"a.txt", "s.txt"}));
}

// A value longer than the block the script is read through.
TEST_F(BadInput, ScriptLineOf100KilobytesIsOneValue) {
    std::string value;
    for (int i = 0; value.size() < 100 * 1000; ++i) value += std::to_string(i) + ",";
    const std::string near_miss = value.substr(0, value.size() - 1) + ";";
    write_file(file, value + "\npre" + value + "post\n" + near_miss + "\n");
    write_file(dir / "s.txt", "!file f.txt\n!source " + value + "\n!dest V\n!do\nend\n");
    run_result result = run({"s.txt"});
    EXPECT_EQ(result.out, "!Error on line 5 - line:\"end\" is not in the language\n");
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(read_file(file) == "V\npreVpost\n" + near_miss + "\n") << "wrong content";
}

// Lone carriage returns end no line: such a script is one long line.
TEST_F(BadInput, ScriptWithLoneCarriageReturnsIsOneLine) {
    const std::string rest = "!file f.txt\r!source foo\r!dest bar\r!do\r";
    struct cr_case {
        const char* name;
        std::string script;
        std::string expected_out;
        int expected_status;
    };
    const std::vector<cr_case> cases = {
        {"starting with a directive", rest, "", 0},
        {"starting with a do", "!do\r" + rest, "!Error on line 1 - cmd Do need source & dest & valide file\n", 1},
        {"starting with no directive", "hello\r" + rest,
         "!Error on line 1 - line:\"hello\r" + rest + "\" is not in the language\n", 0},
    };
    for (const cr_case& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(file, "foo\n");
        write_file(dir / "s.txt", c.script);
        run_result result = run({"s.txt"});
        EXPECT_EQ(result.out, c.expected_out);
        EXPECT_EQ(result.status, c.expected_status);
        EXPECT_EQ(read_file(file), "foo\n");
        EXPECT_EQ(list_dir(dir.path()), (names{"f.txt", "s.txt"}));
    }
}

} // namespace
