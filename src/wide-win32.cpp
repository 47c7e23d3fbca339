#include "wide-win32.h"

#include <windows.h>

#include <cwchar>

namespace {

bool starts_with(const std::wstring& text, const wchar_t* head)
{
    return text.compare(0, std::wcslen(head), head) == 0;
}

}  // namespace

std::wstring widen(const std::string& text)
{
    const int size = static_cast<int>(text.size());
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), n);
    return wide;
}

std::string narrow(const wchar_t* text, size_t size)
{
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(size), nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(size), utf8.data(), n, nullptr, nullptr);
    return utf8;
}

std::wstring full_path(const std::wstring& path)
{
    // Relative paths of any length need it, and so does Wine's ReplaceFileW.
    const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    std::wstring full(size, L'\0');
    const DWORD n = size == 0 ? 0 : GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
    if (n == 0 || n >= size)
        return path;  // the call that is given it tells what is wrong
    full.resize(n);
    return full;
}

std::wstring long_form(const std::wstring& full)
{
    // The limit for a folder, which must leave room for a name in it.
    if (full.size() < MAX_PATH - 12 || starts_with(full, L"\\\\?\\") || starts_with(full, L"\\\\.\\"))
        return full;
    if (starts_with(full, L"\\\\"))
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

std::wstring system_path(const std::string& path)
{
    const std::wstring wide = widen(path);
    return starts_with(wide, L"\\\\?\\") ? wide : long_form(full_path(wide));
}
