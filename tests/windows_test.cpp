// What only a Windows build meets: the read-only attribute, reserved device
// names, the command line as cmd.exe splits it, CR LF on the console, long
// paths and files over 4 GiB in a 32-bit program. Run under wine against a
// Windows build (see tests/wine/session.sh); skipped otherwise.
#include "test_util.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using test_util::list_dir;
using test_util::read_file;
using test_util::run_options;
using test_util::run_result;
using test_util::scratch_dir;
using test_util::write_file;

namespace {

using names = std::vector<std::string>;

std::string file_error(const std::string& name) { return "!Error - FILE \"" + name + "\" is an valide file\n"; }

class Windows : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test_util::under_wine()) GTEST_SKIP() << "for a Windows build under wine";
    }

    scratch_dir dir;
    std::string file = dir / "f.txt";

    run_result run(const std::vector<std::string>& args, run_options with = {}) {
        if (with.working_dir.empty()) with.working_dir = dir.path();
        run_result result = test_util::run_binary(args, with);
        EXPECT_FALSE(result.timed_out) << "the run did not end in time";
        EXPECT_EQ(result.err, "") << "nothing may go to standard error";
        return result;
    }
};

// wine lets a privileged process write and replace such a file; the tool
// refuses it itself, before anything is read.
TEST_F(Windows, ReadOnlyAttributeIsRefused) {
    for (const std::string content : {"a foo\n", "nothing\n"}) {
        SCOPED_TRACE(content);
        write_file(file, content);
        ASSERT_EQ(chmod(file.c_str(), 0444), 0); // read-only as wine sees it
        run_result result = run({"f.txt", "foo", "bar"});
        EXPECT_EQ(result.out, file_error("f.txt"));
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(read_file(file), content);
        EXPECT_EQ(list_dir(dir.path()), names{"f.txt"});
        ASSERT_EQ(chmod(file.c_str(), 0644), 0);
    }
}

// These names open devices wherever they appear; none is opened for a
// rewrite, and no temporary file is made for them.
TEST_F(Windows, ReservedDeviceNamesAreRefused) {
    write_file(file, "foo\n");
    for (const std::string name : {"NUL", "nul", "CON", "COM1", "aux.txt", "LPT1", "\\\\.\\pipe\\tovalise"}) {
        SCOPED_TRACE(name);
        run_options options;
        options.time_limit_seconds = 10;
        run_result result = run({name, "foo", "bar"}, options);
        EXPECT_EQ(result.out, file_error(name));
        EXPECT_EQ(result.status, 1);
        write_file(dir / "s.txt", "!file " + name + "\n!source foo\n!dest bar\n!do\n");
        result = run({"s.txt"}, options);
        EXPECT_EQ(result.out, "!Error on line 4 - FILE \"" + name + "\" is an valide file\n");
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(read_file(file), "foo\n");
        EXPECT_EQ(list_dir(dir.path()), (names{"f.txt", "s.txt"}));
    }
}

// The command line as cmd.exe hands it over: double quotes group, "" is an
// empty argument, \" a quote, and no wildcard is expanded.
TEST_F(Windows, ArgumentsAsTheCommandLineSplitsThem) {
    struct quoting_case {
        const char* name;
        std::string content;
        std::string arguments; // after the program, as typed
        std::string expected;
    };
    const std::vector<quoting_case> cases = {
        {"quoted blanks and an empty replacement", "a b c\r\n", "f.txt \"a b\" \"\"", " c\r\n"},
        {"escaped quote", "say x\r\n", "f.txt x \"\\\"hi\\\"\"", "say \"hi\"\r\n"},
        {"a star alone", "2*3\r\n", "f.txt * x", "2x3\r\n"},
        {"a star in a name", "a*b\r\n", "f.txt a*b X", "X\r\n"},
    };
    write_file(dir / "a1b", "not an argument\n");
    for (const quoting_case& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(file, c.content);
        write_file(dir / "t.bat", "@\"" + test_util::windows_path_of_binary() + "\" " + c.arguments + "\r\n");
        run_options with;
        with.wine_program = "cmd";
        run_result result = run({"/c", "t.bat"}, with);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(read_file(file), c.expected);
        EXPECT_EQ(read_file(dir / "a1b"), "not an argument\n");
        EXPECT_EQ(list_dir(dir.path()), (names{"a1b", "f.txt", "t.bat"}));
    }
}

TEST_F(Windows, ConsoleLinesEndInCrLf) {
    const std::vector<std::vector<std::string>> cases = {{}, {"missing.txt", "a", "b"}, {"no-script.txt"}};
    for (const auto& args : cases) {
        SCOPED_TRACE(std::to_string(args.size()) + " arguments");
        run_result result = run(args);
        EXPECT_EQ(result.status, 1);
        ASSERT_FALSE(result.raw_out.empty());
        size_t lines = 0;
        for (size_t at = 0; (at = result.raw_out.find('\n', at)) != std::string::npos; ++at, ++lines)
            EXPECT_TRUE(at > 0 && result.raw_out[at - 1] == '\r') << "a line feed without CR at " << at;
        EXPECT_EQ(lines, args.empty() ? 12u : 1u);
        EXPECT_EQ(result.raw_out.substr(result.raw_out.size() - 2), "\r\n");
    }
}

// Deeper than MAX_PATH (260), named relative to the current folder and by
// its full Windows path.
TEST_F(Windows, PathLongerThan260Characters) {
    std::string relative;
    for (int i = 0; relative.size() < 400; ++i) {
        relative += (i ? "/" : "") + std::string(40, static_cast<char>('a' + i));
        ASSERT_EQ(mkdir((dir / relative).c_str(), 0755), 0);
    }
    const std::string path = dir / (relative + "/f.txt");
    std::string windows = relative + "/f.txt";
    std::replace(windows.begin(), windows.end(), '/', '\\');
    std::string full = "Z:" + path;
    std::replace(full.begin(), full.end(), '/', '\\');
    ASSERT_GT(full.size(), 260u);
    write_file(path, "foo\r\n");
    run_result result = run({windows, "foo", "bar"});
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.status, 0);
    result = run({full, "bar", "baz"});
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(read_file(path), "baz\r\n");
    EXPECT_EQ(list_dir(dir / relative), names{"f.txt"});
}

// Offsets past 4 GiB in a 32-bit program: an occurrence just past 4 GiB in a
// sparse file, the long clean prefix copied before it.
TEST_F(Windows, FileOver4GiB) {
    const off_t at = (off_t{1} << 32) + 4099;
    const std::string tail = "foo\r\nend";
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, "start foo\n", 10, 0), 10);
    ASSERT_EQ(pwrite(fd, tail.data(), tail.size(), at), static_cast<ssize_t>(tail.size()));
    close(fd);
    run_options slow;
    slow.time_limit_seconds = 240; // about a minute here; a wrong offset would never end
    run_result result = run({"f.txt", "foo", "bar"}, slow);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(list_dir(dir.path()), names{"f.txt"});
    fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    struct stat info {};
    ASSERT_EQ(fstat(fd, &info), 0);
    EXPECT_EQ(info.st_size, at + static_cast<off_t>(tail.size()));
    char head[10] = {}, end[8] = {}, middle[4] = {1, 1, 1, 1};
    EXPECT_EQ(pread(fd, head, sizeof head, 0), 10);
    EXPECT_EQ(std::string(head, 10), "start bar\n");
    EXPECT_EQ(pread(fd, middle, sizeof middle, at - 4), 4);
    EXPECT_EQ(std::string(middle, 4), std::string(4, '\0'));
    EXPECT_EQ(pread(fd, end, sizeof end, at), 8);
    EXPECT_EQ(std::string(end, 8), "bar\r\nend");
    close(fd);
}

} // namespace
