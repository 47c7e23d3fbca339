#include "wide-win32.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(SystemPath, PlainWhileShortPrefixedBeyond)
{
    const std::wstring dir = full_path(L".");
    const std::string n244(244, 'n');
    const std::wstring w244(244, L'n');
    const struct {
        std::string path;
        std::wstring expected;
    } cases[] = {
        {"C:\\a\\b.xml", L"C:\\a\\b.xml"},
        {"C:/a/./c/../b.xml", L"C:\\a\\b.xml"},
        {"C:\\" + n244, L"C:\\" + w244},
        {"C:\\" + n244 + "n", L"\\\\?\\C:\\" + w244 + L"n"},
        {"C:/" + n244 + "/" + n244, L"\\\\?\\C:\\" + w244 + L"\\" + w244},
        {"\\\\srv\\share\\" + n244, L"\\\\?\\UNC\\srv\\share\\" + w244},
        // What "./a.xml" becomes in a network working directory.
        {"//srv/share/dir/a.xml", L"\\\\srv\\share\\dir\\a.xml"},
        {"\\\\?\\C:\\a/../b", L"\\\\?\\C:\\a/../b"},
        {"\\\\.\\pipe\\" + n244, L"\\\\.\\pipe\\" + w244},
        {"конфиг/表 😀.xml", dir + L"\\\u043a\u043e\u043d\u0444\u0438\u0433\\\u8868 \U0001F600.xml"},
        {"r/" + n244, L"\\\\?\\" + dir + L"\\r\\" + w244},
    };
    for (const auto& c : cases)
        EXPECT_EQ(system_path(c.path), c.expected) << c.path;
}

}  // namespace
