#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include "cli/cli.hpp"
#include "support.hpp"

namespace {

TEST(NamesOpenFile, TellsWhetherANameIsTheFileOfADescriptor)
{
    const std::string dir = MakeTempDir();
    WriteFile(dir + "/a.wav", "a");
    WriteFile(dir + "/b.wav", "b");
    ASSERT_EQ(link((dir + "/a.wav").c_str(), (dir + "/hard.wav").c_str()), 0);
    const int fd = open((dir + "/a.wav").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(NamesOpenFile((dir + "/a.wav").c_str(), fd), 1);
    EXPECT_EQ(NamesOpenFile((dir + "/hard.wav").c_str(), fd), 1);
    EXPECT_EQ(NamesOpenFile(("/proc/self/fd/" + std::to_string(fd)).c_str(), fd), 1);
    EXPECT_EQ(NamesOpenFile((dir + "/b.wav").c_str(), fd), 0);
    EXPECT_EQ(NamesOpenFile((dir + "/absent.wav").c_str(), fd), 0);
    close(fd);
    // A closed descriptor names nothing.
    EXPECT_EQ(NamesOpenFile((dir + "/a.wav").c_str(), fd), 0);

    // /dev/null is the same file, but a device: text may stay there.
    const int null_fd = open("/dev/null", O_WRONLY);
    ASSERT_GE(null_fd, 0);
    EXPECT_EQ(NamesOpenFile("/dev/null", null_fd), 0);
    close(null_fd);
    RemoveTree(dir);
}

} // namespace
