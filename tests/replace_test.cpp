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

std::string repeat(const std::string& text, size_t count) {
    std::string result;
    result.reserve(text.size() * count);
    for (size_t i = 0; i < count; ++i) result += text;
    return result;
}

// Files on disk, through the platform module -----------------------------------

class RewriteFile : public ::testing::Test {
protected:
    rewrite_run run;
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
    EXPECT_EQ(rewrite_file(run, file, "beta", "gamma"), failure::none);
    EXPECT_EQ(read_file(file), "alpha gamma\r\ngamma\n");
    expect_only({"f.txt"});
    EXPECT_EQ(replace_in_file(run, file, "gamma", ""), 1);
    EXPECT_EQ(read_file(file), "alpha \r\n\n");
    expect_only({"f.txt"});
}

TEST_F(RewriteFile, LargeFileWithLateFirstOccurrence) {
    std::string head = repeat("0123456789abcdef\n", 50000); // 850 000 bytes without occurrence
    write_file(file, head + "NEEDLE\n" + head + "NEEDLE");
    EXPECT_EQ(rewrite_file(run, file, "NEEDLE", "pin"), failure::none);
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
        EXPECT_EQ(rewrite_file(run, file, c.search, c.replacement), failure::none);
        EXPECT_EQ(replace_in_file(run, file, c.search, c.replacement), 1);
        struct stat after = stat_of(file);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
        EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
        EXPECT_EQ(read_file(file), c.content);
        expect_only({"f.txt"});
    }
}

TEST_F(RewriteFile, MissingFileFailsAndCreatesNothing) {
    EXPECT_EQ(rewrite_file(run, file, "a", "b"), failure::not_found);
    EXPECT_EQ(replace_in_file(run, file, "a", "b"), 0);
    EXPECT_EQ(replace_in_file(run, dir / "no_dir/f.txt", "a", "b"), 0);
    ASSERT_EQ(symlink("nowhere", file.c_str()), 0);
    EXPECT_EQ(rewrite_file(run, file, "a", "b"), failure::not_found) << "dangling link";
    expect_only({"f.txt"});
}

TEST_F(RewriteFile, EmptySearchIsRefused) {
    write_file(file, "abc\n");
    EXPECT_EQ(replace_in_file(run, file, "", "x"), 0);
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
        EXPECT_EQ(rewrite_file(run, file, "foo", "bar"), failure::temp_taken);
        EXPECT_EQ(replace_in_file(run, file, "foo", "bar"), 0);
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
    EXPECT_EQ(rewrite_file(run, file, "a", "b"), failure::not_regular);
    EXPECT_EQ(replace_in_file(run, file, "a", "b"), 0);
    expect_only({"f.txt"});
}

TEST_F(RewriteFile, FifoIsNotRegularAndDoesNotHang) {
    ASSERT_EQ(mkfifo(file.c_str(), 0644), 0);
    // In a child, so that a hang ends as a failure rather than a stuck run.
    int result = test_util::run_in_fork(
        [&] { return static_cast<int>(rewrite_file(run, file, "a", "b")); }, 10);
    EXPECT_EQ(result, static_cast<int>(failure::not_regular)) << "-1 means it hung";
    EXPECT_TRUE(S_ISFIFO(stat_of(file).st_mode));
    expect_only({"f.txt"});
}

TEST_F(RewriteFile, SymbolicLinkIsFollowedAndStaysALink) {
    ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
    const std::string real = dir / "sub/real.txt";
    write_file(real, "old text\n");
    ASSERT_EQ(symlink("sub/real.txt", file.c_str()), 0);
    EXPECT_EQ(rewrite_file(run, file, "old", "new"), failure::none);
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
        EXPECT_EQ(rewrite_file(run, file, "foo", "bar"), failure::none);
        EXPECT_EQ(read_file(file), "bar\n");
        EXPECT_EQ(stat_of(file).st_mode & 07777, mode);
        expect_only({"f.txt"});
    }
    if (test_util::running_as_root()) {
        write_file(file, "foo\n");
        ASSERT_EQ(chown(file.c_str(), test_util::nobody_id, test_util::nobody_id), 0);
        EXPECT_EQ(rewrite_file(run, file, "foo", "bar"), failure::none);
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

    EXPECT_EQ(rewrite_file(run, file, "foo", "bar"), failure::none);
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
    EXPECT_EQ(rewrite_file(run, name, "absent", "bar"), failure::none);
    EXPECT_EQ(rewrite_file(run, name, "foo", "bar"), failure::not_writable);
    EXPECT_EQ(read_file(name), "foo\n");
    expect_only({std::string(253, 'n')});
}

TEST_F(RewriteFile, HardLinkKeepsOldContent) {
    const std::string other = dir / "other.txt";
    write_file(file, "old\n");
    ASSERT_EQ(link(file.c_str(), other.c_str()), 0);
    EXPECT_EQ(rewrite_file(run, file, "old", "new"), failure::none);
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

        EXPECT_EQ(replace_in_file(run, path + "/f.txt", "foo", "bar"), 1);
        EXPECT_EQ(replace_in_file(run, path + "/link", "bar", "baz"), 1);
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
