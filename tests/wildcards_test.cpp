#include "wildcards-win32.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(DirMatches, TheRulesOfDir)
{
    const struct {
        std::wstring pattern;
        std::wstring name;
        bool matches;
    } cases[] = {
        {L"*.*", L"README", true},
        {L"*.*", L"a.b.c", true},
        {L"*.", L"README", true},
        {L"*.", L"a.xml", false},
        {L"*.", L"a.b.c", false},
        {L"*.", L".profile", false},
        {L"a*.", L"ab", true},
        {L"a*.", L"ab.c", false},
        {L"*.xml", L"C.XML", true},
        {L"*.xml", L"a.b.xml", true},
        {L"*.xml", L"a.xmlold", false},
        {L"\u00fc*.XML", L"\u00dcber.xml", true},
        // '?' takes one character but a dot, or none before a dot or at the end.
        {L"?.xml", L"a.xml", true},
        {L"?.xml", L"ab.xml", false},
        {L"?.xml", L".xml", true},
        {L"a??.xml", L"a.xml", true},
        {L"a??.xml", L"abcd.xml", false},
        {L"a?", L"a", true},
        {L"a?", L"abc", false},
        {L"x?y", L"x.y", false},
        {L"x?y", L"xzy", true},
        // A dot before '*' or '?' also stands for the end.
        {L"a.*", L"a", true},
        {L"a.*", L"ab", false},
        {L"*.?", L"README", true},
        {L"foo*.*", L"foobar", true},
        {L"foo*.*", L"fo.txt", false},
        {L"*a*b*c*d*e*f*", std::wstring(200, L'a') + L"bcdeg", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(dir_matches(c.pattern, c.name), c.matches)
            << std::string(c.pattern.begin(), c.pattern.end()) << " " << std::string(c.name.begin(), c.name.end());
}

}  // namespace
