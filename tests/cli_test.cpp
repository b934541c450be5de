// End-to-end runs of the built binary in scratch directories.
#include "test_util.h"
#include "version.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using test_util::list_dir;
using test_util::read_file;
using test_util::run_binary;
using test_util::run_options;
using test_util::run_result;
using test_util::scratch_dir;
using test_util::write_file;

namespace {

const std::string rule(74, '*');
const std::string usage_lines =
    "Syntaxe: \n"
    "* tovalise <fichier_config.txt> source dest   -ou-\n"
    "* tovalise <fichier_config.txt> ou\n"
    "Syntaxe de fichier_config.txt\n"
    "!file <file>\n"
    "!option [no_shift_diff | shift_diff]\n"
    "!source <string>\n"
    "!dest <string>\n"
    "!do\n";

std::string file_error(const std::string& name) { return "!Error - FILE \"" + name + "\" is an valide file\n"; }

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

class Cli : public ::testing::Test {
protected:
    scratch_dir dir;
    std::string file = dir / "f.txt";

    run_result run(const std::vector<std::string>& args, run_options options = {}) {
        if (options.working_dir.empty()) options.working_dir = dir.path();
        run_result result = run_binary(args, options);
        EXPECT_FALSE(result.timed_out) << "the run did not end in time";
        EXPECT_EQ(result.err, "") << "nothing may go to standard error";
        return result;
    }
};

TEST_F(Cli, WrongArgumentCountPrintsBannerAndUsage) {
    write_file(file, "a b\n");
    const std::vector<std::vector<std::string>> cases = {
        {}, {"f.txt", "a"}, {"f.txt", "a", "b", "c"}, {"f.txt", "a", "b", "c", "d"}};
    for (const auto& args : cases) {
        SCOPED_TRACE(std::to_string(args.size()) + " arguments");
        run_result result = run(args);
        EXPECT_EQ(result.status, 1);
        ASSERT_EQ(result.out.back(), '\n');
        std::vector<std::string> lines = split_lines(result.out);
        ASSERT_EQ(lines.size(), 12u) << result.out;
        EXPECT_EQ(lines[0], rule);
        EXPECT_EQ(lines[1], "Tovalise " TOVALISE_VERSION " - replaces literal text in files, in place");
        EXPECT_EQ(lines[2], rule);
        std::string tail;
        for (size_t i = 3; i < lines.size(); ++i) tail += lines[i] + "\n";
        EXPECT_EQ(tail, usage_lines);
        EXPECT_EQ(read_file(file), "a b\n");
        EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"f.txt"});
    }
}

TEST_F(Cli, DirectModeSucceedsSilently) {
    struct direct_case {
        const char* name;
        std::string content;
        std::string search;
        std::string replacement;
        std::string expected;
    };
    const std::vector<direct_case> cases = {
        {"replaces", "one foo\r\nfoo two\n", "foo", "bar", "one bar\r\nbar two\n"},
        {"empty replacement removes", "a-b-c", "-", "", "abc"},
        {"no occurrence", "nothing\n", "foo", "bar", "nothing\n"},
        {"empty file", "", "foo", "bar", ""},
        {"percent signs are text", "100%\n", "%", "%s%d", "100%s%d\n"},
        {"replacement with line feed", "a,b\n", ",", "\n", "a\nb\n"},
    };
    for (const direct_case& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(file, c.content);
        run_result result = run({"f.txt", c.search, c.replacement});
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(read_file(file), c.expected);
        EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"f.txt"});
    }
}

TEST_F(Cli, DirectModeFailuresPrintTheMessageAndLeaveNothing) {
    write_file(dir / "a.txt", "a foo\n");
    ASSERT_EQ(mkdir((dir / "folder").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0644), 0);
    const std::vector<std::string> names = {"missing.txt", "", "*.txt", "folder", "fifo", "no_dir/a.txt"};
    for (const std::string& name : names) {
        SCOPED_TRACE("target " + ::testing::PrintToString(name));
        run_options options;
        options.time_limit_seconds = 10;
        run_result result = run({name, "foo", "bar"}, options);
        EXPECT_EQ(result.out, file_error(name));
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(read_file(dir / "a.txt"), "a foo\n");
        EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"a.txt", "fifo", "folder"}));
        EXPECT_TRUE(list_dir(dir / "folder").empty());
    }
}

TEST_F(Cli, EmptySearchTextIsRefused) {
    write_file(file, "abc\n");
    run_result result = run({"f.txt", "", "x"});
    EXPECT_EQ(result.out.rfind("!Error", 0), 0u) << result.out;
    EXPECT_EQ(split_lines(result.out).size(), 1u) << result.out;
    EXPECT_EQ(result.out.back(), '\n');
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(read_file(file), "abc\n");
    EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"f.txt"});
}

// The checks must be about permissions, so when the suite runs as root the
// child runs as nobody, in directories that nobody may enter.
TEST_F(Cli, TargetTheUserMayNotWriteOrReadIsRefused) {
    ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
    const std::string locked = dir / "locked";
    ASSERT_EQ(mkdir(locked.c_str(), 0755), 0);
    struct access_case {
        const char* name;
        std::string path;     // relative to the scratch directory
        mode_t mode;
        std::string content;
        bool as_nobody = true; // else as whoever runs the suite, root included
    };
    const std::vector<access_case> cases = {
        {"read-only file with occurrence", "f.txt", 0444, "a foo\n"},
        {"read-only file without occurrence", "f.txt", 0444, "nothing\n"},
        {"unreadable file", "f.txt", 0200, "a foo\n"},
        {"file in a read-only directory", "locked/f.txt", 0666, "a foo\n"},
        {"file in a read-only directory without occurrence", "locked/f.txt", 0666, "nothing\n"},
        {"file without any write bit, for root too", "f.txt", 0444, "a foo\n", false},
        {"file only its owner may read, without any write bit", "f.txt", 0400, "a foo\n", false},
    };
    for (const access_case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir / c.path;
        ASSERT_EQ(chmod(locked.c_str(), 0755), 0);
        write_file(path, c.content);
        ASSERT_EQ(chmod(path.c_str(), c.mode), 0);
        if (test_util::running_as_root()) {
            ASSERT_EQ(chown(path.c_str(), test_util::nobody_id, test_util::nobody_id), 0);
            ASSERT_EQ(chown(locked.c_str(), test_util::nobody_id, test_util::nobody_id), 0);
        }
        ASSERT_EQ(chmod(locked.c_str(), 0555), 0);
        std::vector<std::string> before_top = list_dir(dir.path());
        std::vector<std::string> before_locked = list_dir(locked);

        run_options options;
        options.as_nobody = c.as_nobody;
        run_result result = run({c.path, "foo", "bar"}, options);
        EXPECT_EQ(result.out, file_error(c.path));
        EXPECT_EQ(result.status, 1);
        ASSERT_EQ(chmod(locked.c_str(), 0755), 0);
        ASSERT_EQ(chmod(path.c_str(), 0644), 0);
        EXPECT_EQ(read_file(path), c.content);
        EXPECT_EQ(list_dir(dir.path()), before_top);
        EXPECT_EQ(list_dir(locked), before_locked);
        ASSERT_EQ(unlink(path.c_str()), 0);
    }
}

// The directories on the way to a file need only let the user pass, not read.
TEST_F(Cli, FileBehindDirectoriesThatCannotBeListed) {
    if (test_util::under_wine()) GTEST_SKIP() << "fails under wine, not yet examined: the Windows build is refused such a file";
    ASSERT_EQ(mkdir((dir / "pass").c_str(), 0711), 0);
    ASSERT_EQ(mkdir((dir / "pass/data").c_str(), 0777), 0);
    ASSERT_EQ(chmod((dir / "pass/data").c_str(), 0777), 0);
    write_file(dir / "pass/data/f.txt", "a foo\n");
    ASSERT_EQ(chmod((dir / "pass/data/f.txt").c_str(), 0666), 0);
    ASSERT_EQ(chmod(dir.path().c_str(), 0711), 0);
    run_options options;
    options.as_nobody = true;
    run_result result = run({"pass/data/f.txt", "foo", "bar"}, options);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(read_file(dir / "pass/data/f.txt"), "a bar\n");
}

TEST_F(Cli, ScriptMode) {
    write_file(dir / "a.txt", "foo\n");
    write_file(dir / "s.txt", "!file a.txt\n!source foo\n!dest bar\n!do\nwhat\n");
    run_result result = run({"s.txt"});
    EXPECT_EQ(result.out, "!Error on line 5 - line:\"what\" is not in the language\n");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(read_file(dir / "a.txt"), "bar\n");

    write_file(dir / "s.txt", "!file b.txt\n!source foo\n!dest bar\n!do\n");
    result = run({"s.txt"});
    EXPECT_EQ(result.out, "!Error on line 4 - FILE \"b.txt\" is an valide file\n");
    EXPECT_EQ(result.status, 1);

    result = run({"missing.txt"});
    EXPECT_EQ(result.out, "!Error: no file found\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"a.txt", "s.txt"}));
}

// The example the README runs: its script rewrites its notes as shown.
TEST_F(Cli, ShippedExample) {
    for (const char* name : {"notes.txt", "script.txt"})
        write_file(dir / name, read_file(std::string(TOVALISE_EXAMPLE_DIR) + "/" + name));
    run_result result = run({"script.txt"});
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(read_file(dir / "notes.txt"),
              "Meeting notes, week 49\n"
              "\n"
              "The color scheme for the color printer is settled.\n"
              "Ask Sam about the color calibration before Friday.\n"
              "Budget: 1200 euros, due on the 15th.\n");
    EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"notes.txt", "script.txt"}));
}

// Runs started together on one file take turns: each succeeds, and each
// replacement is in the final content.
TEST_F(Cli, ConcurrentRunsLoseNoUpdate) {
    constexpr int runs = 12;
    auto token = [](int i, char letter) { return std::string(1, letter) + (i < 10 ? "0" : "") + std::to_string(i); };
    std::string line;
    for (int i = 0; i < runs; ++i) line += token(i, 'k') + " ";
    std::string content;
    for (int i = 0; i < 20000; ++i) content += line + "\n";
    write_file(file, content);

    std::vector<test_util::child> children;
    for (int i = 0; i < runs; ++i) {
        run_options options;
        options.working_dir = dir.path();
        options.time_limit_seconds = 60;
        children.push_back(test_util::start_binary({"f.txt", token(i, 'k'), token(i, 'K')}, options));
    }
    std::string expected_line = line;
    for (int i = 0; i < runs; ++i) {
        SCOPED_TRACE("run " + std::to_string(i));
        run_result result = test_util::finish(children[static_cast<size_t>(i)]);
        ASSERT_FALSE(result.timed_out);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.status, 0);
        expected_line.replace(expected_line.find(token(i, 'k')), 3, token(i, 'K'));
    }
    std::string expected;
    for (int i = 0; i < 20000; ++i) expected += expected_line + "\n";
    std::string got = read_file(file);
    EXPECT_TRUE(got == expected) << "an update was lost; first line now: " << got.substr(0, got.find('\n'))
                                 << "\nexpected: " << expected_line;
    EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"f.txt"});
}

} // namespace
