#include "paths.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(SlashWorkDir, EveryRunOfBackslashesBecomesOneSlashButANetworkPathKeepsTwo)
{
    const struct {
        std::string dir;
        std::string expected;
    } cases[] = {
        {"C:\\work\\proj", "C:/work/proj"},
        {"C:\\", "C:/"},
        {"\\\\srv\\share\\dir", "//srv/share/dir"},
        {"\\\\srv\\share\\", "//srv/share/"},
        {"\\\\\\srv\\\\share", "//srv/share"},
        {"\\srv\\share", "/srv/share"},
        {"C:\\\\srv", "C:/srv"},
        {"C:\\a\\\\\\b", "C:/a/b"},
        {"C:\\a\\\\", "C:/a/"},
        {"Z:\\tmp\\x y\\\\z\\", "Z:/tmp/x y/z/"},
        {"/home/build/proj", "/home/build/proj"},
        {"/a//b", "/a//b"},
        {"a\\/\\b", "a///b"},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(slash_work_dir(c.dir), c.expected) << c.dir;
}

TEST(ResolvePath, OnlyDotSlashIsTakenAgainstTheWorkingDirectory)
{
    const struct {
        std::string work_dir;
        std::string arg;
        std::string expected;
    } cases[] = {
        {"C:/work/proj", "./data/a.xml", "C:/work/proj/data/a.xml"},
        {"C:/work/proj", "./", "C:/work/proj/"},
        {"C:/", "./name", "C://name"},
        {"/", "./a.xml", "//a.xml"},
        {"C:/work/proj", "data/a.xml", "data/a.xml"},
        {"C:/work/proj", ".\\data\\a.xml", ".\\data\\a.xml"},
        {"C:/work/proj", "../x", "../x"},
        {"C:/work/proj", "/abs/a.xml", "/abs/a.xml"},
        {"C:/work/proj", ".", "."},
        {"C:/work/proj", "/", "/"},
        {"C:/work/proj", "", ""},
        {"C:/work/proj", "..//a", "..//a"},
        {"C:/work/proj", ".//a", "C:/work/proj//a"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(resolve_path(c.work_dir, c.arg.c_str()), c.expected) << c.work_dir << " " << c.arg;
}

}  // namespace
