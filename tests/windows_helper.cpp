// What the Windows tests need done by a Windows program, under the same Wine
// as the tool:
//
//   windows_helper code-page                  prints the ANSI code page it runs with
#include <windows.h>

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t** argv)
{
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"code-page") {
        std::printf("%u\n", GetACP());
        return 0;
    }
    std::fprintf(stderr, "usage: windows_helper code-page\n");
    return 2;
}
