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

TEST(PrintablePath, ControlCharactersAreEscapedAndAllElseKept)
{
    const struct {
        std::string path;
        std::string expected;
    } cases[] = {
        {"out/a.xml", "out/a.xml"},
        {"C:\\build\\x1b.xml", "C:\\build\\x1b.xml"},
        {"no\033]0;pwned\007\033[2Jsuch", "no\\x1b]0;pwned\\x07\\x1b[2Jsuch"},
        {"a\tb\nc\r\x01\x1f ~", "a\\x09b\\x0ac\\x0d\\x01\\x1f ~"},
        {"del\x7f", "del\\x7f"},
        {std::string("a\0b", 3), "a\\x00b"},
        // C1 in UTF-8, U+0080 to U+009F; its neighbours are printable.
        {"x\xc2\x9bm", "x\\xc2\\x9bm"},
        {"\xc2\x80\xc2\x9f", "\\xc2\\x80\\xc2\\x9f"},
        {"\xc2\xa0\xc2\x7f", "\xc2\xa0\xc2\\x7f"},
        // Continuation bytes 80 to 9F of other characters, and bytes that are not UTF-8.
        {"\xc4\x80 \xd1\x80 \xf0\x9f\x98\x80 \xe2\x82\xac", "\xc4\x80 \xd1\x80 \xf0\x9f\x98\x80 \xe2\x82\xac"},
        {"\x9b[2J\xc2", "\x9b[2J\xc2"},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(printable_path(c.path), c.expected) << c.path;
}

}  // namespace
