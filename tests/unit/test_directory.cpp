// The aDirectory_ functions of the device library.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "aDirectory.h"
#include "testsupport.h"

using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

struct BuildCase {
    size_t size;
    std::vector<const char*> parts;  // first part, then further parts
    aErr result;
    const char* text;
};

aErr Build(char* buffer, size_t size, const std::vector<const char*>& p)
{
    const char* n = nullptr;
    auto at = [&](size_t i) { return i < p.size() ? p[i] : n; };
    return aDirectory_BuildPath(buffer, size, at(0), at(1), at(2), at(3), at(4), at(5), at(6), at(7),
                                at(8), at(9), at(10), nullptr);
}

TEST(DirectoryBuildPath, Table)
{
    const BuildCase cases[] = {
        {64, {"/a/", "b"}, aErrNone, "/a/b"},
        {64, {"/a", "b"}, aErrNone, "/a/b"},
        {64, {"/a", "/b"}, aErrNone, "/a/b"},
        {64, {"/a/", "/b"}, aErrNone, "/a//b"},  // both separators kept
        {64, {"a"}, aErrNone, "a"},
        {8, {"abc", "de"}, aErrNone, "abc/de"},
        {8, {"abc", "def"}, aErrOverrun, ""},    // room 3 after the separator
        {4, {"abc"}, aErrOverrun, ""},           // first part must be below size - 1
        {5, {"abc"}, aErrNone, "abc"},
        {64, {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j"}, aErrNone, "a/b/c/d/e/f/g/h/i/j"},
        {64, {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k"}, aErrParam, ""},  // 11 parts
        {64, {nullptr}, aErrParam, ""},
    };
    for (const BuildCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "size " << c.size << " first " << (c.parts[0] ? c.parts[0] : "(null)")
                                        << " parts " << c.parts.size());
        char buffer[64];
        strcpy(buffer, "junk");
        EXPECT_EQ(Build(buffer, c.size, c.parts), c.result);
        EXPECT_STREQ(buffer, c.text);
    }
}

TEST(DirectoryBuildPath, RefusesPartsInsideTheBuffer)
{
    char buffer[32] = "abc";
    EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, buffer, "x", nullptr), aErrParam);
    EXPECT_STREQ(buffer, "abc");  // untouched: it was an input
    EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, "x", buffer + 1, nullptr), aErrParam);
    EXPECT_EQ(aDirectory_BuildPath(nullptr, 8, "x", nullptr), aErrParam);
    EXPECT_EQ(aDirectory_JoinPath(buffer, sizeof buffer, "/tmp", "f"), aErrNone);
    EXPECT_STREQ(buffer, "/tmp/f");
}

TEST(Directory, EnsureCreatesEveryMissingLevel)
{
    TempDir dir;
    const std::string deep = dir.path() + "/a//b/c/";
    EXPECT_EQ(aDirectory_Ensure(deep.c_str(), 0755), aErrNone);
    EXPECT_TRUE(aDirectory_Exists((dir.path() + "/a/b/c").c_str()));
    struct stat info;
    ASSERT_EQ(stat((dir.path() + "/a/b").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0700, 0700u);
    EXPECT_EQ(aDirectory_Ensure(deep.c_str(), 0755), aErrNone);  // already there
}

TEST(Directory, EnsureFailsOnAFileInTheWay)
{
    TempDir dir;
    WriteFile(dir.file("f"), "x");
    EXPECT_EQ(aDirectory_Ensure(dir.file("f").c_str(), 0755), aErrPermission);
    EXPECT_EQ(aDirectory_Ensure((dir.file("f") + "/sub").c_str(), 0755), aErrPermission);
    EXPECT_EQ(aDirectory_Ensure(nullptr, 0755), aErrParam);
}

// Root passes every permission check, so permission failures are shown in a
// child process that has given up root for the nobody identity. The child
// builds its own tree and exits 0 only when every check held; what it prints
// (standard output joined to standard error) is matched by the caller.
void InChildWithoutRoot(const std::string& base, bool (*body)(const std::string& base))
{
    dup2(2, 1);
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
        fprintf(stderr, "cannot drop root\n");
        std::exit(2);
    }
    std::exit(body(base) ? 0 : 1);
}

#define CHECK_IN_CHILD(condition) \
    if (!(condition)) {           \
        fprintf(stderr, "failed: %s\n", #condition); \
        return false;             \
    }

bool EnsureBelowLockedDirectory(const std::string& base)
{
    const std::string locked = base + "/locked";
    CHECK_IN_CHILD(mkdir(locked.c_str(), 0500) == 0);
    CHECK_IN_CHILD(aDirectory_Ensure((locked + "/x/y").c_str(), 0755) == aErrPermission);
    return true;
}

TEST(Directory, EnsureReportsPermission)
{
    TempDir dir;
    chmod(dir.path().c_str(), 0777);
    EXPECT_EXIT(InChildWithoutRoot(dir.path(), EnsureBelowLockedDirectory), testing::ExitedWithCode(0), "^$");
}

TEST(Directory, EnsureRelativePath)
{
    TempDir dir;
    char old[4096];
    ASSERT_EQ(aDirectory_CWD(old, sizeof old), aErrNone);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    EXPECT_EQ(aDirectory_Ensure("r1/r2", 0755), aErrNone);
    EXPECT_TRUE(aDirectory_Exists("r1/r2"));
    ASSERT_EQ(chdir(old), 0);
}

struct Seen {
    std::vector<std::string> paths;
    std::vector<int> dirs;
    std::vector<uint32_t> sizes;
    size_t stopAfter = 1000;
};

bool Collect(const aDirectoryListData* data, void* context)
{
    Seen* seen = static_cast<Seen*>(context);
    seen->paths.push_back(data->path);
    seen->dirs.push_back(data->isDirectory);
    seen->sizes.push_back(data->size);
    return seen->paths.size() < seen->stopAfter;
}

TEST(Directory, ListPassesEveryEntryWithFullPath)
{
    TempDir dir;
    WriteFile(dir.file("file"), "12345");
    ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0755), 0);
    Seen seen;
    EXPECT_EQ(aDirectory_List(dir.path().c_str(), Collect, &seen), aErrNone);
    std::vector<std::string> sorted = seen.paths;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, (std::vector<std::string>{dir.file("."), dir.file(".."), dir.file("file"), dir.file("sub")}));
    for (size_t i = 0; i < seen.paths.size(); ++i) {
        if (seen.paths[i] == dir.file("file")) {
            EXPECT_EQ(seen.dirs[i], 0);
            EXPECT_EQ(seen.sizes[i], 5u);
        } else {
            EXPECT_EQ(seen.dirs[i], 1);
        }
    }
    Seen first;
    first.stopAfter = 1;
    EXPECT_EQ(aDirectory_List(dir.path().c_str(), Collect, &first), aErrNone);
    EXPECT_EQ(first.paths.size(), 1u);
    EXPECT_EQ(aDirectory_List(dir.file("missing").c_str(), Collect, &first), aErrNotFound);
}

TEST(Directory, DeleteAndDeleteTree)
{
    TempDir dir;
    const std::string root = dir.file("tree");
    ASSERT_EQ(aDirectory_Ensure((root + "/a/b").c_str(), 0755), aErrNone);
    WriteFile(root + "/f", "x");
    WriteFile(root + "/a/b/g", "y");
    // A link to a directory outside the tree is removed, not followed.
    ASSERT_EQ(mkdir(dir.file("outside").c_str(), 0755), 0);
    WriteFile(dir.file("outside") + "/keep", "z");
    ASSERT_EQ(symlink(dir.file("outside").c_str(), (root + "/a/link").c_str()), 0);

    EXPECT_EQ(aDirectory_Delete(root.c_str()), aErrUnknown);  // not empty
    EXPECT_EQ(aDirectory_DeleteTree(root.c_str()), aErrNone);
    EXPECT_FALSE(aDirectory_Exists(root.c_str()));
    EXPECT_EQ(access((dir.file("outside") + "/keep").c_str(), F_OK), 0);
    EXPECT_EQ(aDirectory_DeleteTree(root.c_str()), aErrNotFound);

    ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
    EXPECT_EQ(aDirectory_Delete(root.c_str()), aErrNone);
}

bool DeleteTreeWithLockedFile(const std::string& base)
{
    const std::string root = base + "/tree";
    CHECK_IN_CHILD(aDirectory_Ensure((root + "/locked").c_str(), 0755) == aErrNone);
    WriteFile(root + "/locked/f", "x");
    CHECK_IN_CHILD(chmod((root + "/locked").c_str(), 0500) == 0);
    CHECK_IN_CHILD(aDirectory_DeleteTree(root.c_str()) == aErrUnknown);
    CHECK_IN_CHILD(aDirectory_Exists((root + "/locked").c_str()));
    return true;
}

TEST(Directory, DeleteTreeStopsAtAFileItCannotRemove)
{
    TempDir dir;
    chmod(dir.path().c_str(), 0777);
    EXPECT_EXIT(InChildWithoutRoot(dir.path(), DeleteTreeWithLockedFile), testing::ExitedWithCode(0),
                "^aDirectory_DeleteTree: Permission denied\n"
                "---error unlink-ing file \\[" + dir.path() + "/tree/locked/f\\]\n$");
}

TEST(Directory, CwdExecutableAndHome)
{
    char buffer[4096];
    ASSERT_EQ(aDirectory_CWD(buffer, sizeof buffer), aErrNone);
    char expected[4096];
    ASSERT_NE(getcwd(expected, sizeof expected), nullptr);
    EXPECT_STREQ(buffer, expected);
    EXPECT_EQ(aDirectory_CWD(buffer, 2), aErrParam);
    EXPECT_EQ(aDirectory_CWD(nullptr, 0), aErrParam);

    ASSERT_EQ(aDirectory_ExecutableFilePath(buffer, sizeof buffer), aErrNone);
    EXPECT_NE(std::string(buffer).find("unit_test_directory"), std::string::npos) << buffer;
    char small[5];
    ASSERT_EQ(aDirectory_ExecutableFilePath(small, sizeof small), aErrNone);
    EXPECT_EQ(strlen(small), 4u);

    ASSERT_EQ(aDirectory_GetHomeDirectory(buffer, sizeof buffer), aErrNone);
    EXPECT_GT(strlen(buffer), 0u);
    EXPECT_EQ(aDirectory_GetHomeDirectory(small, 1), aErrOverrun);  // never a cut path
    EXPECT_STREQ(small, "");
}

}  // namespace
