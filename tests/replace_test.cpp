#include "replace.h"

#include "test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

using platform::failure;
using test_util::list_dir;
using test_util::read_file;
using test_util::scratch_dir;
using test_util::write_file;

namespace {

// An in-memory pair of streams. start() may only copy bytes that were read
// already; any misuse is recorded rather than asserted, so the test that
// drives it can report it with its case.
struct memory_io {
    std::string input;
    size_t position = 0;
    size_t max_read = SIZE_MAX; // to hand out short reads
    long long fail_read_at = -1; // read returns -1 once this many bytes were read
    bool fail_start = false;
    bool fail_write = false;

    std::string output;
    int start_calls = 0;
    bool misuse = false;

    static long long read(void* context, char* data, size_t size) {
        auto& self = *static_cast<memory_io*>(context);
        if (self.fail_read_at >= 0 && self.position >= static_cast<size_t>(self.fail_read_at)) return -1;
        size_t count = std::min({size, self.max_read, self.input.size() - self.position});
        std::copy_n(self.input.data() + self.position, count, data);
        self.position += count;
        return static_cast<long long>(count);
    }
    static bool start(void* context, uint64_t length) {
        auto& self = *static_cast<memory_io*>(context);
        ++self.start_calls;
        if (self.start_calls > 1 || length > self.position) self.misuse = true;
        if (self.fail_start) return false;
        self.output.assign(self.input, 0, static_cast<size_t>(std::min<uint64_t>(length, self.input.size())));
        return true;
    }
    static bool write(void* context, const char* data, size_t size) {
        auto& self = *static_cast<memory_io*>(context);
        if (self.start_calls == 0) self.misuse = true;
        if (self.fail_write) return false;
        self.output.append(data, size);
        return true;
    }
    rewrite_io io() { return rewrite_io{this, &memory_io::read, &memory_io::start, &memory_io::write}; }
};

struct engine_case {
    std::string name;
    std::string search;
    std::string replacement;
    std::string input;
    std::string expected;
    uint64_t replaced;
};

std::string repeat(const std::string& text, size_t count) {
    std::string result;
    result.reserve(text.size() * count);
    for (size_t i = 0; i < count; ++i) result += text;
    return result;
}

std::string bytes(const char* data, size_t size) { return std::string(data, size); }

// A 3000-character line of 'x' with "ab" at its start, across offset 1023
// and at its end.
engine_case long_line_case() {
    std::string input(3000, 'x');
    std::string expected = input;
    for (size_t at : {2998u, 1022u, 0u}) {
        input.replace(at, 2, "ab");
        expected.replace(at, 2, "#");
    }
    return {"long_line_across_1023", "ab", "#", input + "\r\n" + input, expected + "\r\n" + expected, 6};
}

// One line much longer than the default block, dense with occurrences at
// shifting offsets, so that occurrences meet the block edges.
engine_case line_longer_than_block_case() {
    std::string input;
    std::string expected;
    uint64_t count = 0;
    for (size_t i = 0; input.size() < 3 * default_block_size; ++i) {
        std::string gap(i % 7, 'x');
        input += gap + "abc";
        expected += gap + "Q";
        ++count;
    }
    return {"line_longer_than_block", "abc", "Q", input + "\n", expected + "\n", count};
}

// Texts of every short length, replaced by shorter, equal and longer ones:
// short texts are copied by hand, a few bytes at a time.
std::vector<engine_case> short_length_cases() {
    std::vector<engine_case> cases;
    for (size_t length = 1; length <= 20; ++length) {
        std::string search(length, 's');
        search.back() = 'e';
        for (size_t other : {length - 1, length, length + 1}) {
            std::string replacement;
            for (size_t i = 0; i < other; ++i) replacement += static_cast<char>('A' + i);
            std::string name = "length_" + std::to_string(length) + "_by_" + std::to_string(other);
            cases.push_back({name, search, replacement, "x" + search + "yy" + search + "\n" + search,
                             "x" + replacement + "yy" + replacement + "\n" + replacement, 3});
        }
    }
    return cases;
}

std::vector<engine_case> engine_cases() {
    const std::string long_text(100, 'L');
    std::vector<engine_case> cases = short_length_cases();
    std::vector<engine_case> fixed = {
        // Occurrences never overlap and inserted text is never searched again.
        {"overlap_aa", "aa", "b", "aaa", "ba", 1},
        {"overlap_growth", "a", "aa", "abca", "aabcaa", 2},
        {"overlap_removal", "ab", "", "aabbab", "ab", 2},
        {"same_length_not_searched_again", "ab", "aa", "abb\nabbabb", "aab\naabaab", 3},
        {"overlap_per_line", "aa", "b", "aaa\naaa\n", "ba\nba\n", 2},
        {"empty_replacement", "x", "", "xaxbx\nx", "ab\n", 4},
        {"whole_input", "abc", "Z", "abc", "Z", 1},
        // Line ends are written back as read.
        {"crlf_kept", "foo", "bar", "foo\r\nxfoo\r\n", "bar\r\nxbar\r\n", 2},
        {"lf_kept", "foo", "bar", "a foo\nfoo\n", "a bar\nbar\n", 2},
        {"mixed_line_ends", "foo", "bar", "foo\r\nfoo\nfoo\r\n", "bar\r\nbar\nbar\r\n", 3},
        {"no_final_line_end", "foo", "bar", "x\nfoo", "x\nbar", 1},
        {"empty_lines_kept", "a", "b", "\n\r\n\na\n\n", "\n\r\n\nb\n\n", 1},
        // A lone CR is an ordinary byte; the CR of a CR LF is not.
        {"lone_cr_in_search", "o\rf", "-", "fo\rfoo\n", "f-oo\n", 1},
        {"cr_search", "\r", "<CR>", "a\rb\r\nc\r", "a<CR>b\r\nc<CR>", 2},
        {"cr_before_crlf", "\r", "X", "a\r\r\n", "aX\r\n", 1},
        {"search_ending_in_cr", "x\r", "Y", "x\r\nx\rx\r", "x\r\nYY", 2},
        {"search_ending_in_cr_at_end_of_line", "x\r", "Y", "ax\r\nbx\r\r\n", "ax\r\nbY\r\n", 1},
        // A search text holding a line feed never matches.
        {"search_with_lf", "a\nb", "X", "a\nb\n", "a\nb\n", 0},
        {"search_lf_alone", "\n", "X", "a\nb\n", "a\nb\n", 0},
        {"search_crlf", "\r\n", "X", "a\r\nb\r\n", "a\r\nb\r\n", 0},
        {"search_across_lines", "ab", "X", "a\nb\na\r\nb", "a\nb\na\r\nb", 0},
        // A partial occurrence at the end of a line or of the input is data.
        {"partial_at_end", "abc", "X", "xxab", "xxab", 0},
        {"partial_before_line_end", "abc", "X", "ab\ncabc", "ab\ncX", 1},
        {"search_longer_than_input", "abcdef", "X", "abc", "abc", 0},
        {"empty_input", "a", "b", "", "", 0},
        {"empty_search_never_matches", "", "X", "abc\n", "abc\n", 0},
        // Every byte is data.
        {"nul_in_search", bytes("a\0b", 3), "N", bytes("xa\0b\0\n", 6), bytes("xN\0\n", 4), 1},
        {"nul_in_replacement", "b", bytes("\0\0", 2), "abc\n", bytes("a\0\0c\n", 5), 1},
        {"ctrl_z_is_data", "y", "Y", "a\x1a" "y\n\x1ay", "a\x1aY\n\x1aY", 2},
        {"ctrl_z_search", "\x1a", "Z", "a\x1a\x1a\n", "aZZ\n", 2},
        // Replacements longer than the search text, and holding line feeds.
        {"growth", "a", long_text, "aaaa\na", repeat(long_text, 4) + "\n" + long_text, 5},
        {"growth_past_output_block", "a", long_text, std::string(10000, 'a'), repeat(long_text, 10000), 10000},
        {"replacement_with_lf", "b", "\n", "abc\r\nb", "a\nc\r\n\n", 2},
        {"replacement_with_search_text", "ab", "abab", "abab", "abababab", 2},
        long_line_case(),
        line_longer_than_block_case(),
    };
    cases.insert(cases.end(), fixed.begin(), fixed.end());
    return cases;
}

// Runs one case and returns the bytes it gave (the input itself when the
// output was never started), checking the stream protocol on the way.
std::string run_case(const engine_case& c, size_t block_size, size_t max_read = SIZE_MAX) {
    memory_io io;
    io.input = c.input;
    io.max_read = max_read;
    rewrite_result result = rewrite_stream(io.io(), c.search, c.replacement, block_size);
    EXPECT_FALSE(io.misuse) << "start called twice, late, or past what was read";
    EXPECT_EQ(result.replaced, c.replaced);
    if (c.replaced == 0) {
        EXPECT_EQ(result.status, rewrite_status::unchanged);
        EXPECT_EQ(io.start_calls, 0);
        EXPECT_TRUE(io.output.empty());
        return c.input;
    }
    EXPECT_EQ(result.status, rewrite_status::rewritten);
    EXPECT_EQ(io.start_calls, 1);
    return io.output;
}

TEST(RewriteStream, CasesGiveTheSameBytesAtEveryBlockSize) {
    for (const engine_case& c : engine_cases()) {
        std::vector<size_t> sizes = {default_block_size, c.search.size() + 1, c.search.size() + 2,
                                     c.search.size() + 3};
        for (size_t block_size : sizes) {
            SCOPED_TRACE("case " + c.name + ", block size " + std::to_string(block_size));
            std::string got = run_case(c, block_size);
            // Printing a megabyte on failure helps nobody; compare first.
            if (got != c.expected) {
                ADD_FAILURE() << "output differs; got " << got.size() << " bytes, expected "
                              << c.expected.size()
                              << (got.size() < 200 ? "\n  got:      " + ::testing::PrintToString(got) +
                                                         "\n  expected: " + ::testing::PrintToString(c.expected)
                                                   : std::string());
            }
        }
    }
}

// The read callback may hand out fewer bytes than asked for.
TEST(RewriteStream, ShortReadsGiveTheSameBytes) {
    for (const engine_case& c : engine_cases()) {
        if (c.input.size() > 100000) continue; // one byte per call would only be slow
        for (size_t max_read : {1u, 3u}) {
            SCOPED_TRACE("case " + c.name + ", reads of at most " + std::to_string(max_read));
            EXPECT_EQ(run_case(c, default_block_size, max_read), c.expected);
        }
    }
}

TEST(RewriteStream, NoOccurrenceReadsAllAndWritesNothing) {
    memory_io io;
    io.input = "one\r\ntwo\nthree";
    rewrite_result result = rewrite_stream(io.io(), "four", "4", 5);
    EXPECT_EQ(result.status, rewrite_status::unchanged);
    EXPECT_EQ(result.replaced, 0u);
    EXPECT_EQ(io.start_calls, 0);
    EXPECT_TRUE(io.output.empty());
    EXPECT_EQ(io.position, io.input.size());
}

TEST(RewriteStream, ReadAndWriteFailuresAreReported) {
    struct failure_case {
        const char* name;
        std::string input;
        long long fail_read_at;
        bool fail_start;
        bool fail_write;
        rewrite_status expected;
    };
    const std::string many = repeat("xxfooxx\n", 100);
    const std::vector<failure_case> cases = {
        {"read fails at once", many, 0, false, false, rewrite_status::read_failed},
        {"read fails before any occurrence", "abc\n" + many, 2, false, false, rewrite_status::read_failed},
        {"read fails after a replacement", many, 300, false, false, rewrite_status::read_failed},
        {"read fails in an input without occurrence", repeat("x\n", 200), 100, false, false,
         rewrite_status::read_failed},
        {"start fails", many, -1, true, false, rewrite_status::write_failed},
        {"write fails", many, -1, false, true, rewrite_status::write_failed},
    };
    for (const failure_case& c : cases) {
        for (size_t block_size : {size_t{4}, size_t{64}, default_block_size}) {
            SCOPED_TRACE(std::string(c.name) + ", block size " + std::to_string(block_size));
            memory_io io;
            io.input = c.input;
            io.fail_read_at = c.fail_read_at;
            io.fail_start = c.fail_start;
            io.fail_write = c.fail_write;
            io.max_read = 50; // so the failure point is reached mid-input
            EXPECT_EQ(rewrite_stream(io.io(), "foo", "bar", block_size).status, c.expected);
        }
    }
}

// Files on disk -------------------------------------------------------------

class RewriteFile : public ::testing::Test {
protected:
    scratch_dir dir;
    std::string file = dir / "f.txt";

    void expect_only(const std::vector<std::string>& names) { EXPECT_EQ(list_dir(dir.path()), names); }
};

struct stat stat_of(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(lstat(path.c_str(), &info), 0) << path;
    return info;
}

TEST_F(RewriteFile, ReplacesAndLeavesNoTemp) {
    write_file(file, "alpha beta\r\nbeta\n");
    EXPECT_EQ(rewrite_file(file, "beta", "gamma"), failure::none);
    EXPECT_EQ(read_file(file), "alpha gamma\r\ngamma\n");
    expect_only({"f.txt"});
    EXPECT_EQ(replace_in_file(file, "gamma", ""), 1);
    EXPECT_EQ(read_file(file), "alpha \r\n\n");
    expect_only({"f.txt"});
}

TEST_F(RewriteFile, LargeFileWithLateFirstOccurrence) {
    std::string head = repeat("0123456789abcdef\n", 50000); // 850 000 bytes without occurrence
    write_file(file, head + "NEEDLE\n" + head + "NEEDLE");
    EXPECT_EQ(rewrite_file(file, "NEEDLE", "pin"), failure::none);
    EXPECT_TRUE(read_file(file) == head + "pin\n" + head + "pin") << "content differs";
    expect_only({"f.txt"});
}

TEST_F(RewriteFile, FileWithNothingToChangeIsNotTouched) {
    struct unchanged_case {
        std::string content, search, replacement;
    };
    const unchanged_case cases[] = {
        {"nothing here\r\n", "absent", "x"},
        {"", "absent", "x"},
        {"same here\n", "here", "here"},
    };
    for (const unchanged_case& c : cases) {
        SCOPED_TRACE("content " + ::testing::PrintToString(c.content) + ", search " + c.search);
        write_file(file, c.content);
        // An old time, so that any rewrite would show.
        struct timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
        struct stat before = stat_of(file);
        EXPECT_EQ(rewrite_file(file, c.search, c.replacement), failure::none);
        EXPECT_EQ(replace_in_file(file, c.search, c.replacement), 1);
        struct stat after = stat_of(file);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
        EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
        EXPECT_EQ(read_file(file), c.content);
        expect_only({"f.txt"});
    }
}

TEST_F(RewriteFile, MissingFileFailsAndCreatesNothing) {
    EXPECT_EQ(rewrite_file(file, "a", "b"), failure::not_found);
    EXPECT_EQ(replace_in_file(file, "a", "b"), 0);
    EXPECT_EQ(replace_in_file(dir / "no_dir/f.txt", "a", "b"), 0);
    ASSERT_EQ(symlink("nowhere", file.c_str()), 0);
    EXPECT_EQ(rewrite_file(file, "a", "b"), failure::not_found) << "dangling link";
    expect_only({"f.txt"});
}

TEST_F(RewriteFile, EmptySearchIsRefused) {
    write_file(file, "abc\n");
    EXPECT_EQ(replace_in_file(file, "", "x"), 0);
    EXPECT_EQ(read_file(file), "abc\n");
    expect_only({"f.txt"});
}

// Whatever bears the temporary name is never emptied, replaced or followed.
TEST_F(RewriteFile, TakenTemporaryNameFailsAndChangesNothing) {
    const std::string temp = file + ".tmp";
    const std::string victim = dir / "victim";
    struct taken_case {
        const char* name;
        void (*make)(const std::string& temp, const std::string& victim);
    };
    const std::vector<taken_case> cases = {
        {"regular file", [](const std::string& t, const std::string&) { write_file(t, "keep me"); }},
        {"link to a file", [](const std::string& t, const std::string& v) { ASSERT_EQ(symlink(v.c_str(), t.c_str()), 0); }},
        {"dangling link", [](const std::string& t, const std::string&) { ASSERT_EQ(symlink("made_by_tool", t.c_str()), 0); }},
        {"directory", [](const std::string& t, const std::string&) { ASSERT_EQ(mkdir(t.c_str(), 0755), 0); }},
    };
    for (const taken_case& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(file, "a foo b\n");
        write_file(victim, "victim content");
        c.make(temp, victim);
        std::vector<std::string> before = list_dir(dir.path());
        EXPECT_EQ(rewrite_file(file, "foo", "bar"), failure::temp_taken);
        EXPECT_EQ(replace_in_file(file, "foo", "bar"), 0);
        EXPECT_EQ(read_file(file), "a foo b\n");
        EXPECT_EQ(read_file(victim), "victim content");
        EXPECT_EQ(list_dir(dir.path()), before);
        struct stat info = stat_of(temp);
        if (std::string(c.name) == "regular file") {
            EXPECT_EQ(read_file(temp), "keep me");
        }
        if (std::string(c.name).find("link") != std::string::npos) {
            EXPECT_TRUE(S_ISLNK(info.st_mode));
        }
        test_util::remove_tree(temp);
    }
}

TEST_F(RewriteFile, DirectoryIsNotRegular) {
    ASSERT_EQ(mkdir(file.c_str(), 0755), 0);
    EXPECT_EQ(rewrite_file(file, "a", "b"), failure::not_regular);
    EXPECT_EQ(replace_in_file(file, "a", "b"), 0);
    expect_only({"f.txt"});
}

TEST_F(RewriteFile, FifoIsNotRegularAndDoesNotHang) {
    ASSERT_EQ(mkfifo(file.c_str(), 0644), 0);
    // In a child, so that a hang ends as a failure rather than a stuck run.
    int result = test_util::run_in_fork(
        [&] { return static_cast<int>(rewrite_file(file, "a", "b")); }, 10);
    EXPECT_EQ(result, static_cast<int>(failure::not_regular)) << "-1 means it hung";
    EXPECT_TRUE(S_ISFIFO(stat_of(file).st_mode));
    expect_only({"f.txt"});
}

TEST_F(RewriteFile, SymbolicLinkIsFollowedAndStaysALink) {
    ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
    const std::string real = dir / "sub/real.txt";
    write_file(real, "old text\n");
    ASSERT_EQ(symlink("sub/real.txt", file.c_str()), 0);
    EXPECT_EQ(rewrite_file(file, "old", "new"), failure::none);
    EXPECT_TRUE(S_ISLNK(stat_of(file).st_mode));
    char target[256] = {};
    ASSERT_GT(readlink(file.c_str(), target, sizeof target - 1), 0);
    EXPECT_STREQ(target, "sub/real.txt");
    EXPECT_EQ(read_file(real), "new text\n");
    expect_only({"f.txt", "sub"});
    EXPECT_EQ(list_dir(dir / "sub"), std::vector<std::string>{"real.txt"});
}

TEST_F(RewriteFile, PermissionBitsAndOwnerAreKept) {
    for (mode_t mode : {0600, 0755, 0640, 0604}) {
        SCOPED_TRACE("mode " + std::to_string(mode));
        write_file(file, "foo\n");
        ASSERT_EQ(chmod(file.c_str(), mode), 0);
        EXPECT_EQ(rewrite_file(file, "foo", "bar"), failure::none);
        EXPECT_EQ(read_file(file), "bar\n");
        EXPECT_EQ(stat_of(file).st_mode & 07777, mode);
        expect_only({"f.txt"});
    }
    if (test_util::running_as_root()) {
        write_file(file, "foo\n");
        ASSERT_EQ(chown(file.c_str(), test_util::nobody_id, test_util::nobody_id), 0);
        EXPECT_EQ(rewrite_file(file, "foo", "bar"), failure::none);
        struct stat info = stat_of(file);
        EXPECT_EQ(info.st_uid, test_util::nobody_id);
        EXPECT_EQ(info.st_gid, test_util::nobody_id);
    }
}

// The directory would hand the new file its own group (set-group-ID) and
// its default access control list; the file keeps its own group and gains
// no reader.
TEST_F(RewriteFile, DirectoryDefaultsDoNotLeakIntoTheNewFile) {
    if (!test_util::running_as_root())
        GTEST_SKIP() << "needs root to give the directory another group";
    ASSERT_EQ(chown(dir.path().c_str(), 0, test_util::nobody_id), 0);
    ASSERT_EQ(chmod(dir.path().c_str(), 02775), 0);
    // Default ACL: owner rwx, user 1 rw-, group r-x, mask rwx, other ---.
    const uint32_t acl[] = {2,      1 | 7u << 16, ~0u, 2 | 6u << 16, 1,    4 | 5u << 16,
                            ~0u,    0x10 | 7u << 16, ~0u, 0x20,          ~0u};
    bool has_acl =
        setxattr(dir.path().c_str(), "system.posix_acl_default", acl, sizeof acl, 0) == 0;
    write_file(file, "foo\n");
    ASSERT_EQ(chown(file.c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(file.c_str(), 0640), 0);
    ASSERT_EQ(removexattr(file.c_str(), "system.posix_acl_access") == 0 || errno == ENODATA ||
                  errno == ENOTSUP,
              true);

    EXPECT_EQ(rewrite_file(file, "foo", "bar"), failure::none);
    struct stat info = stat_of(file);
    EXPECT_EQ(info.st_gid, 0u);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    if (has_acl) {
        EXPECT_EQ(getxattr(file.c_str(), "system.posix_acl_access", nullptr, 0), -1)
            << "the file gained the directory's access control list";
    }
}

// A name too long to take ".tmp" cannot be rewritten, but a file with
// nothing to change is left alone as any other.
TEST_F(RewriteFile, NameTooLongForTheTemporaryName) {
    std::string name = dir / std::string(253, 'n');
    write_file(name, "foo\n");
    EXPECT_EQ(rewrite_file(name, "absent", "bar"), failure::none);
    EXPECT_EQ(rewrite_file(name, "foo", "bar"), failure::not_writable);
    EXPECT_EQ(read_file(name), "foo\n");
    expect_only({std::string(253, 'n')});
}

TEST_F(RewriteFile, HardLinkKeepsOldContent) {
    const std::string other = dir / "other.txt";
    write_file(file, "old\n");
    ASSERT_EQ(link(file.c_str(), other.c_str()), 0);
    EXPECT_EQ(rewrite_file(file, "old", "new"), failure::none);
    EXPECT_EQ(read_file(file), "new\n");
    EXPECT_EQ(read_file(other), "old\n");
    expect_only({"f.txt", "other.txt"});
}

// Paths longer than the system takes in one call (4096 bytes on Linux) are
// built and read back a directory at a time.
TEST_F(RewriteFile, LongPathIsAccepted) {
    for (size_t length : {1500u, 5000u}) {
        SCOPED_TRACE("path length " + std::to_string(length));
        const std::string part(200, 'd');
        std::string path = dir.path() + "/" + std::to_string(length);
        ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
        int at = open(path.c_str(), O_RDONLY | O_DIRECTORY);
        while (path.size() < length) {
            path += "/" + part;
            ASSERT_EQ(mkdirat(at, part.c_str(), 0755), 0);
            int next = openat(at, part.c_str(), O_RDONLY | O_DIRECTORY);
            close(at);
            at = next;
        }
        int fd = openat(at, "f.txt", O_WRONLY | O_CREAT, 0644);
        ASSERT_EQ(write(fd, "foo\n", 4), 4);
        close(fd);
        ASSERT_EQ(symlinkat("f.txt", at, "link"), 0);

        EXPECT_EQ(replace_in_file(path + "/f.txt", "foo", "bar"), 1);
        EXPECT_EQ(replace_in_file(path + "/link", "bar", "baz"), 1);
        char content[16] = {};
        fd = openat(at, "f.txt", O_RDONLY);
        EXPECT_EQ(read(fd, content, sizeof content), 4);
        close(fd);
        struct stat st;
        EXPECT_EQ(fstatat(at, "link", &st, AT_SYMLINK_NOFOLLOW), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode));
        close(at);
        EXPECT_STREQ(content, "baz\n");
    }
}

} // namespace
