#include "script.h"

#include "replace.h"

#include "test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

using test_util::list_dir;
using test_util::read_file;
using test_util::scratch_dir;
using test_util::write_file;

namespace {

TEST(MatchPrefix, Cases) {
    struct prefix_case {
        std::string_view line;
        std::string_view prefix;
        int expected;
        size_t rest_offset; // used on a match
    };
    const prefix_case cases[] = {
        {"!file a.txt", "!file ", 1, 6},
        {"!file ", "!file ", 1, 6},        // empty value: rest at the end
        {"!source  x ", "!source ", 1, 8}, // further blanks are the value's
        {"!donkey", "!do", 1, 3},
        {"!do", "!do", 1, 3},
        {"anything", "", 1, 0},
        {"!fil", "!file ", 0, 0},          // prefix longer than the line
        {"!file", "!file ", 0, 0},
        {"!file\ta", "!file ", 0, 0},
        {"!File a", "!file ", 0, 0},       // case-sensitive
        {" !file a", "!file ", 0, 0},      // no leading blanks
        {"", "!do", 0, 0},
        {std::string_view("!do\0x", 5), "!do", 1, 3},
        {std::string_view("!d\0o", 4), "!do", 0, 0},
        {std::string_view("!do", 2), "!do", 0, 0}, // must not look past the line
    };
    for (const prefix_case& c : cases) {
        SCOPED_TRACE("line " + ::testing::PrintToString(std::string(c.line)) + ", prefix " +
                     ::testing::PrintToString(std::string(c.prefix)));
        const char* rest = "not set";
        EXPECT_EQ(match_prefix(c.line, c.prefix, &rest), c.expected);
        if (c.expected == 1) {
            EXPECT_EQ(rest, c.line.data() + c.rest_offset);
        } else {
            EXPECT_EQ(rest, nullptr);
        }
    }
}

// Makes `path` the current directory for its lifetime.
class current_dir {
public:
    explicit current_dir(const std::string& path) {
        char buffer[4096];
        EXPECT_NE(getcwd(buffer, sizeof buffer), nullptr);
        old_ = buffer;
        EXPECT_EQ(chdir(path.c_str()), 0) << path;
    }
    ~current_dir() { EXPECT_EQ(chdir(old_.c_str()), 0); }

private:
    std::string old_;
};

using file_list = std::vector<std::pair<std::string, std::string>>;

struct script_run {
    std::string out;
    int status;
};

// Runs `script_path` (relative to the current directory) and captures what
// it prints.
script_run run(const std::string& script_path) {
    rewrite_run pass_run;
    ::testing::internal::CaptureStdout();
    int status = run_script(pass_run, script_path);
    return {::testing::internal::GetCapturedStdout(), status};
}

std::string not_in_language(int line, const std::string& text) {
    return "!Error on line " + std::to_string(line) + " - line:\"" + text + "\" is not in the language\n";
}
std::string do_needs(int line) {
    return "!Error on line " + std::to_string(line) + " - cmd Do need source & dest & valide file\n";
}
std::string not_valid_file(int line, const std::string& name) {
    return "!Error on line " + std::to_string(line) + " - FILE \"" + name + "\" is an valide file\n";
}

struct script_case {
    std::string name;
    file_list before;      // files present before the run, besides the script
    std::string script;
    std::string expected_out;
    int expected_status;
    file_list after;       // every file expected afterwards, besides the script
};

std::vector<script_case> script_cases() {
    const std::string long_x(5000, 'x');
    return {
        {"empty script", {}, "", "", 0, {}},
        {"one pass", {{"a.txt", "foo\r\nfoo"}}, "!file a.txt\n!source foo\n!dest bar\n!do\n", "", 0,
         {{"a.txt", "bar\r\nbar"}}},
        {"blank lines", {}, "\n\n\n", not_in_language(1, "") + not_in_language(2, "") + not_in_language(3, ""), 0, {}},
        {"lines not in the language", {},
         "hello\n!Source x\n !file a\n!file\ta\n!source\n!dest\n!option\n!file\n100%s %d\nlast",
         not_in_language(1, "hello") + not_in_language(2, "!Source x") + not_in_language(3, " !file a") +
             not_in_language(4, "!file\ta") + not_in_language(5, "!source") + not_in_language(6, "!dest") +
             not_in_language(7, "!option") + not_in_language(8, "!file") + not_in_language(9, "100%s %d") +
             not_in_language(10, "last"),
         0, {}},
        {"option lines are silent", {{"a.txt", "a"}},
         "!option shift_diff\n!option no_shift_diff\n!option \n!option !do\n!file a.txt\n!source a\n!dest b\n!do\n", "", 0,
         {{"a.txt", "b"}}},
        {"value is all after one blank", {{"a.txt", "foo foo x\n"}},
         "!file a.txt\n!source foo \n!dest  two \n!do\n", "", 0, {{"a.txt", " two  two x\n"}}},
        {"do followed by anything runs", {{"a.txt", "a"}},
         "!file a.txt\n!source a\n!dest aa\n!donkey\n!do it\n!do\t\n", "", 0, {{"a.txt", "aaaaaaaa"}}},
        {"two do on one file run twice", {{"a.txt", "ab\n"}}, "!file a.txt\n!source ab\n!dest abab\n!do\n!do\n", "", 0,
         {{"a.txt", "abababab\n"}}},
        {"values kept across file change", {{"a.txt", "1"}, {"b.txt", "1 1"}},
         "!source 1\n!dest 2\n!file a.txt\n!do\n!file b.txt\n!do\n", "", 0, {{"a.txt", "2"}, {"b.txt", "2 2"}}},
        {"later value wins", {{"a.txt", "a b"}}, "!file a.txt\n!source a\n!source b\n!dest c\n!do\n", "", 0,
         {{"a.txt", "a c"}}},
        {"do without anything set", {}, "!do\n", do_needs(1), 1, {}},
        {"do without file", {}, "!source a\n!dest b\n!do\nbogus\n", do_needs(3), 1, {}},
        {"do without dest", {{"a.txt", "a"}}, "!file a.txt\n!source a\n\n!do\n", not_in_language(3, "") + do_needs(4), 1,
         {{"a.txt", "a"}}},
        {"empty dest refused", {{"a.txt", "a"}}, "!file a.txt\n!source a\n!dest \n!do\n", do_needs(4), 1, {{"a.txt", "a"}}},
        {"search emptied again", {{"a.txt", "a"}}, "!file a.txt\n!source a\n!dest b\n!source \n!do\n", do_needs(5), 1,
         {{"a.txt", "a"}}},
        {"file emptied again", {{"a.txt", "a"}}, "!file a.txt\n!source a\n!dest b\n!file \n!do\n", do_needs(5), 1,
         {{"a.txt", "a"}}},
        {"missing target", {}, "!file missing.txt\n!source a\n!dest b\n!do\n", not_valid_file(4, "missing.txt"), 1, {}},
        {"target name kept verbatim", {{"a.txt", "a"}}, "!file a.txt \n!source a\n!dest b\n!do\n",
         not_valid_file(4, "a.txt "), 1, {{"a.txt", "a"}}},
        {"percent in target name", {}, "!file %s%d\n!source a\n!dest b\n!do\n", not_valid_file(4, "%s%d"), 1, {}},
        {"passes before a failure are kept", {{"a.txt", "x\n"}, {"b.txt", "x\n"}},
         "!file a.txt\n!source x\n!dest y\n!do\n!file none.txt\n!do\n!file b.txt\n!do\nbogus\n",
         not_valid_file(6, "none.txt"), 1, {{"a.txt", "y\n"}, {"b.txt", "x\n"}}},
        {"crlf lines", {{"a.txt", "foo\n"}}, "!file a.txt\r\n!source foo\r\n!dest bar\r\n!do\r\nbad\r\n\r\n",
         not_in_language(5, "bad") + not_in_language(6, ""), 0, {{"a.txt", "bar\n"}}},
        {"lone cr is part of a line", {{"a.txt", "foo\n"}}, "!file a.txt\n!source foo\r!dest bar\n!do\n", do_needs(3), 1,
         {{"a.txt", "foo\n"}}},
        {"lone cr in a value", {{"a.txt", "a\rb\r\n"}}, "!file a.txt\n!source \r\n!source a\rb\n!dest c\r\r\n!do\n", "", 0,
         {{"a.txt", "c\r\r\n"}}},
        {"ctrl-z is ordinary", {{"a.txt", "foo"}}, "!file a.txt\n\x1a\n!source foo\n!dest bar\n!do\n",
         not_in_language(2, "\x1a"), 0, {{"a.txt", "bar"}}},
        {"5000-character line is one line", {{"a.txt", long_x + "\n"}},
         "!file a.txt\n!source " + long_x + "\n!dest y\n!do\n" + long_x + "\nbogus\n",
         not_in_language(5, long_x) + not_in_language(6, "bogus"), 0, {{"a.txt", "y\n"}}},
    };
}

TEST(RunScript, Cases) {
    for (const script_case& c : script_cases()) {
        SCOPED_TRACE(c.name);
        scratch_dir dir;
        current_dir here(dir.path());
        for (const auto& [name, content] : c.before) write_file(name, content);
        write_file("s.txt", c.script);
        script_run result = run("s.txt");
        EXPECT_EQ(result.out, c.expected_out);
        EXPECT_EQ(result.status, c.expected_status);
        std::vector<std::string> names = {"s.txt"};
        for (const auto& [name, content] : c.after) {
            names.push_back(name);
            EXPECT_EQ(read_file(name), content) << name;
        }
        std::sort(names.begin(), names.end());
        EXPECT_EQ(list_dir("."), names) << "files left in the directory";
    }
}

TEST(RunScript, UnreadableScriptIsNoFileFound) {
    scratch_dir dir;
    current_dir here(dir.path());
    ASSERT_EQ(mkdir("folder", 0755), 0);
    for (const char* path : {"missing.txt", "folder", ""}) {
        SCOPED_TRACE(path);
        script_run result = run(path);
        EXPECT_EQ(result.out, "!Error: no file found\n");
        EXPECT_EQ(result.status, 1);
    }
    EXPECT_EQ(list_dir("."), std::vector<std::string>{"folder"});
}

// A relative target is taken from the current directory, not the script's.
TEST(RunScript, TargetIsRelativeToCurrentDirectory) {
    scratch_dir dir;
    current_dir here(dir.path());
    ASSERT_EQ(mkdir("sub", 0755), 0);
    write_file("a.txt", "old");
    write_file("sub/a.txt", "old");
    write_file("sub/s.txt", "!file a.txt\n!source old\n!dest new\n!do\n");
    script_run result = run("sub/s.txt");
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(read_file("a.txt"), "new");
    EXPECT_EQ(read_file("sub/a.txt"), "old");
}

// What a NUL byte does to its line is the interpreter's choice; it must not
// crash, and the lines after it still run.
TEST(RunScript, NulByteDoesNotStopTheScript) {
    scratch_dir dir;
    current_dir here(dir.path());
    write_file("a.txt", "foo");
    write_file("s.txt", std::string("bad\0line", 8) + "\n!file a.txt\n!source foo\n!dest bar\n!do\n");
    script_run result = run("s.txt");
    EXPECT_EQ(result.out.rfind("!Error on line 1 - line:\"bad", 0), 0u) << result.out;
    EXPECT_EQ(std::count(result.out.begin(), result.out.end(), '\n'), 1) << result.out;
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(read_file("a.txt"), "bar");
}

} // namespace
