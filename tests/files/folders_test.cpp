#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <sys/stat.h>

#include "e2e.hpp"
#include "files/folders.hpp"

namespace {

class Folders : public EndToEnd {};

TEST_F(Folders, MakesTheMissingFoldersButNotTheFile)
{
    WriteFile(dir + "/file", "");
    const mode_t old_mask = umask(022);
    const struct {
        std::string path;
        int err;
        std::string folder; // a folder there afterwards
    } cases[] = {
        {"/a/b/c/take.wav", 0, "/a/b/c"},  {"/a/b/c/take.wav", 0, "/a/b/c"},
        {"/a//b/d/take.wav", 0, "/a/b/d"}, {"/take.wav", 0, ""},
        {"/file/x/take.wav", ENOTDIR, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CreateFoldersFor((dir + c.path).c_str()), c.err) << c.path;
        struct stat st;
        ASSERT_EQ(stat((dir + c.folder).c_str(), &st), 0) << c.path;
        EXPECT_EQ(st.st_mode & 07777, c.folder.empty() ? 0700u : 0755u) << c.path;
        EXPECT_FALSE(FileExists(dir + c.path)) << c.path;
    }
    umask(old_mask);
}

TEST_F(Folders, EachNewFolderIsSyncedAndThenItsParent)
{
    std::string why_not;
    if (!MountTestFs("", &why_not))
        GTEST_SKIP() << why_not;
    ASSERT_EQ(CreateFoldersFor((fs->mount_point() + "/a//b/take.wav").c_str()), 0);
    std::vector<std::string> seen;
    for (const FsEvent& e : fs->Events())
        if (e.op == "mkdir" || e.op == "fsyncdir")
            seen.push_back(e.op + " " + e.path());
    EXPECT_EQ(seen, (std::vector<std::string>{"mkdir /a", "fsyncdir /a", "fsyncdir /", "mkdir /a/b",
                                              "fsyncdir /a/b", "fsyncdir /a"}));
}

} // namespace
