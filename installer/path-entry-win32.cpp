// path-entry: puts a folder on the system PATH, or takes it off, for the
// installer and its uninstaller, which carry it.
//
//   path-entry add FOLDER
//   path-entry remove FOLDER
//
// The system PATH is the Path value of the machine's environment in the
// registry, of any length: entries separated by ';', some with %variables%.
// An entry names FOLDER when it is FOLDER but for the case of its letters and
// a trailing '\'. add appends FOLDER unless an entry names it; remove takes
// out every entry that names it. The rest of the value stays as it was, its
// type (REG_EXPAND_SZ or REG_SZ) too, and a value with nothing to change is
// not written. The exit status is 0 when that is done, 1 when the value could
// not be read or written (the reason on standard error), 2 for a wrong
// command line.
#include <windows.h>

#include <cstdio>
#include <iterator>
#include <string>
#include <string_view>

namespace {

constexpr wchar_t kEnvironmentKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
constexpr wchar_t kPathValue[] = L"Path";

std::wstring_view without_trailing_backslash(std::wstring_view entry)
{
    while (!entry.empty() && entry.back() == L'\\') {
        entry.remove_suffix(1);
    }
    return entry;
}

bool names_folder(std::wstring_view entry, std::wstring_view folder)
{
    entry = without_trailing_backslash(entry);
    folder = without_trailing_backslash(folder);
    return CompareStringOrdinal(entry.data(), static_cast<int>(entry.size()), folder.data(),
                                static_cast<int>(folder.size()), TRUE) == CSTR_EQUAL;
}

// Calls `visit` with each entry of `path`, empty ones too.
template <typename Visit> void for_each_entry(std::wstring_view path, Visit visit)
{
    for (;;) {
        size_t end = path.find(L';');
        visit(path.substr(0, end));
        if (end == std::wstring_view::npos) {
            return;
        }
        path.remove_prefix(end + 1);
    }
}

std::wstring with_folder(const std::wstring& path, std::wstring_view folder)
{
    bool named = false;
    for_each_entry(path, [&](std::wstring_view entry) { named = named || names_folder(entry, folder); });
    if (named) {
        return path;
    }
    std::wstring result = path;
    if (!result.empty() && result.back() != L';') {
        result += L';';
    }
    return result.append(folder);
}

std::wstring without_folder(const std::wstring& path, std::wstring_view folder)
{
    std::wstring result;
    bool first = true;
    for_each_entry(path, [&](std::wstring_view entry) {
        if (names_folder(entry, folder)) {
            return;
        }
        if (!first) {
            result += L';';
        }
        result.append(entry);
        first = false;
    });
    return result;
}

struct PathValue {
    std::wstring text;
    DWORD type = REG_EXPAND_SZ;
};

// Reads the Path value; a missing one reads as empty.
LSTATUS read_path(HKEY key, PathValue& value)
{
    DWORD bytes = 0;
    LSTATUS status = RegQueryValueExW(key, kPathValue, nullptr, &value.type, nullptr, &bytes);
    while (status == ERROR_SUCCESS || status == ERROR_MORE_DATA) {
        if (value.type != REG_EXPAND_SZ && value.type != REG_SZ) {
            return ERROR_INVALID_DATA;
        }
        value.text.assign(bytes / sizeof(wchar_t) + 1, L'\0');
        bytes = static_cast<DWORD>(value.text.size() * sizeof(wchar_t));
        status =
            RegQueryValueExW(key, kPathValue, nullptr, &value.type, reinterpret_cast<BYTE*>(value.text.data()), &bytes);
        if (status == ERROR_SUCCESS) {
            value.text.resize(bytes / sizeof(wchar_t));
            while (!value.text.empty() && value.text.back() == L'\0') {
                value.text.pop_back();
            }
            return ERROR_SUCCESS;
        }
    }
    if (status == ERROR_FILE_NOT_FOUND) {
        value = PathValue{};
        return ERROR_SUCCESS;
    }
    return status;
}

LSTATUS write_path(HKEY key, const PathValue& value)
{
    auto bytes = static_cast<DWORD>((value.text.size() + 1) * sizeof(wchar_t));
    return RegSetValueExW(key, kPathValue, 0, value.type, reinterpret_cast<const BYTE*>(value.text.c_str()), bytes);
}

int fail(const wchar_t* what, LSTATUS status)
{
    wchar_t reason[512] = L"";
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, static_cast<DWORD>(status), 0,
                   reason, static_cast<DWORD>(std::size(reason)), nullptr);
    fwprintf(stderr, L"path-entry: can't %ls the system PATH (%ls)\n", what, reason);
    return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    std::wstring_view action = argc == 3 ? argv[1] : L"";
    if ((action != L"add" && action != L"remove") || argv[2][0] == L'\0') {
        fputws(L"usage: path-entry add|remove FOLDER\n", stderr);
        return 2;
    }
    HKEY key = nullptr;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kEnvironmentKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key);
    if (status != ERROR_SUCCESS) {
        return fail(L"open", status);
    }
    PathValue value;
    status = read_path(key, value);
    if (status != ERROR_SUCCESS) {
        RegCloseKey(key);
        return fail(L"read", status);
    }
    std::wstring changed = action == L"add" ? with_folder(value.text, argv[2]) : without_folder(value.text, argv[2]);
    if (changed != value.text) {
        value.text = changed;
        status = write_path(key, value);
    }
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? 0 : fail(L"write", status);
}
