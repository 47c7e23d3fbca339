// Windows. Paths are UTF-8 inside the tool and meet the system only here, as
// UTF-16 through the wide API, each in the form that system_path gives it.
#include <windows.h>

#include <conio.h>
#include <direct.h>
#include <io.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "platform-win32.h"
#include "platform.h"
#include "wide-win32.h"
#include "wildcards-win32.h"

// msvcrt's split of the command line, the very one it gives `main`, but in
// UTF-16. Its declaration is in no public header.
struct crt_startup_info {
    int new_mode;
};
extern "C" int __cdecl __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** env, int expand_wildcards,
                                      crt_startup_info* info);

namespace {

// The console's own output code page, while it shows UTF-8 for the tool.
UINT console_code_page = 0;

// Makes a console show the UTF-8 bytes that printf passes to it unchanged.
// Pipes and files get them as they are.
void show_utf8_on_console()
{
    DWORD mode;
    if (!GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) &&
        !GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode))
        return;
    const UINT code_page = GetConsoleOutputCP();
    if (code_page == CP_UTF8 || !SetConsoleOutputCP(CP_UTF8))
        return;
    console_code_page = code_page;
    std::atexit(restore_console);
    watch_console_events();
}

}  // namespace

int failure()
{
    const DWORD error = GetLastError();
    return error != 0 ? static_cast<int>(error) : ERROR_GEN_FAILURE;
}

bool in_use(int error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

bool held_by_another(int error)
{
    switch (error) {
    case ERROR_ACCESS_DENIED:  // also what a file waiting to be deleted says
    case ERROR_USER_MAPPED_FILE:
    case ERROR_UNABLE_TO_REMOVE_REPLACED:
        return true;
    default:
        return in_use(error);
    }
}

void restore_console()
{
    if (console_code_page != 0)
        SetConsoleOutputCP(console_code_page);
    console_code_page = 0;
}

void use_utf8(int& argc, char**& argv)
{
    static std::vector<std::string> args;
    static std::vector<char*> pointers;
    int count = 0;
    wchar_t** wide = nullptr;
    wchar_t** env = nullptr;
    crt_startup_info info = {0};
    if (__wgetmainargs(&count, &wide, &env, 0, &info) == 0 && wide != nullptr) {
        for (int i = 0; i < count; ++i)
            args.push_back(narrow(wide[i], std::wcslen(wide[i])));
        for (std::string& arg : args)
            pointers.push_back(arg.data());
        pointers.push_back(nullptr);
        argc = count;
        argv = pointers.data();
    }
    show_utf8_on_console();
}

namespace {

// The order of a folder listing on NTFS, then case for names only case tells apart.
bool listed_before(const std::wstring& a, const std::wstring& b)
{
    const int order =
        CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE);
    return order != CSTR_EQUAL ? order == CSTR_LESS_THAN : a < b;
}

}  // namespace

std::vector<std::string> expand_wildcards(const char* arg)
{
    // The last part begins after the last separator, or after a drive ("C:*.xml").
    const std::string typed = arg;
    const size_t slash = typed.find_last_of("\\/");
    const size_t last = slash != std::string::npos ? slash + 1 : typed.size() >= 2 && typed[1] == ':' ? 2 : 0;
    if (typed.find_first_of("*?", last) == std::string::npos)
        return {typed};
    const std::string folder = typed.substr(0, last);
    const std::wstring pattern = widen(typed.substr(last));
    // Files only, as dir shows them: not folders, nor hidden or system files.
    const DWORD left_out = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    std::vector<std::wstring> found;
    WIN32_FIND_DATAW entry;
    const HANDLE listing = FindFirstFileExW(system_path(folder + "*").c_str(), FindExInfoBasic, &entry,
                                            FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (listing != INVALID_HANDLE_VALUE) {
        do {
            if ((entry.dwFileAttributes & left_out) == 0 && dir_matches(pattern, entry.cFileName))
                found.push_back(entry.cFileName);
        } while (FindNextFileW(listing, &entry));
        FindClose(listing);
    }
    if (found.empty())
        return {typed};
    std::sort(found.begin(), found.end(), listed_before);
    std::vector<std::string> names;
    for (const std::wstring& name : found)
        names.push_back(folder + narrow(name.data(), name.size()));
    return names;
}

std::string describe_error(int error)
{
    wchar_t* text = nullptr;
    const DWORD n =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string words = n > 0 ? narrow(text, n) : "error " + std::to_string(error);
    LocalFree(text);
    // Windows ends its messages with a full stop and a line end.
    while (!words.empty() &&
           (words.back() == '\n' || words.back() == '\r' || words.back() == '.' || words.back() == ' '))
        words.pop_back();
    return words;
}

int out_of_memory_error()
{
    return ERROR_NOT_ENOUGH_MEMORY;
}

int get_work_dir(std::string& dir)
{
    // msvcrt allocates a buffer of the length the directory needs.
    wchar_t* cwd = _wgetcwd(nullptr, 0);
    if (cwd == nullptr)
        return ERROR_PATH_NOT_FOUND;
    dir = narrow(cwd, std::wcslen(cwd));
    std::free(cwd);
    return 0;
}

void ignore_broken_pipe()
{
    // A write into a closed pipe fails on Windows; it never ends the process.
}

void wait_for_key()
{
    // _getch reads the console even when standard input is redirected, and
    // _isatty is true for NUL too; a script that gave us a pipe, a file or NUL
    // must not wait on a console.
    DWORD mode;
    if (GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode)) {
        _getch();
        return;
    }
    unsigned char key;
    (void)_read(_fileno(stdin), &key, 1);
}

int open_input(const char* path, native_handle& file)
{
    // An editor saving it, an indexer or a virus scanner may have it for a
    // moment, as they may have the output.
    const std::wstring name = system_path(path);
    HANDLE handle = INVALID_HANDLE_VALUE;
    const int error = with_retries(
        [&] {
            handle = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
            return handle == INVALID_HANDLE_VALUE ? failure() : 0;
        },
        in_use);
    if (error == 0)
        file = native(handle);
    return error;
}

int read_some(native_handle file, unsigned char* data, size_t size, size_t& got)
{
    DWORD n = 0;
    const DWORD want = static_cast<DWORD>(size < (DWORD{1} << 30) ? size : (DWORD{1} << 30));
    if (!ReadFile(handle_of(file), data, want, &n, nullptr) && GetLastError() != ERROR_BROKEN_PIPE)
        return failure();
    got = n;
    return 0;
}

int write_all(native_handle file, const unsigned char* data, size_t size)
{
    while (size > 0) {
        DWORD n = 0;
        const DWORD chunk = static_cast<DWORD>(size < (DWORD{1} << 30) ? size : (DWORD{1} << 30));
        if (!WriteFile(handle_of(file), data, chunk, &n, nullptr))
            return failure();
        if (n == 0)
            return ERROR_WRITE_FAULT;
        data += n;
        size -= n;
    }
    return 0;
}

bool copy_some(native_handle, native_handle, uint64_t, uint64_t& copied)
{
    copied = 0;
    return false;
}

void start_flush(native_handle, uint64_t, uint64_t)
{
    // FlushFileBuffers waits for the disk; Windows writes behind on its own.
}

void release_cache(native_handle, native_handle)
{
}

int write_at(native_handle file, uint64_t offset, const unsigned char* data, size_t size)
{
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(handle_of(file), at, nullptr, FILE_BEGIN))
        return failure();
    return write_all(file, data, size);
}

int set_file_size(native_handle file, uint64_t size)
{
    FILE_END_OF_FILE_INFO end;
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
    return SetFileInformationByHandle(handle_of(file), FileEndOfFileInfo, &end, sizeof end) ? 0 : failure();
}

int rewind_file(native_handle file)
{
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    return SetFilePointerEx(handle_of(file), zero, nullptr, FILE_BEGIN) ? 0 : failure();
}

int file_size(native_handle file, uint64_t& size)
{
    LARGE_INTEGER n;
    if (!GetFileSizeEx(handle_of(file), &n))
        return failure();
    size = static_cast<uint64_t>(n.QuadPart);
    return 0;
}

int sync_file(native_handle file)
{
    return FlushFileBuffers(handle_of(file)) ? 0 : failure();
}

void close_file(native_handle& file)
{
    if (file != kNoHandle)
        CloseHandle(handle_of(file));
    file = kNoHandle;
}

int open_output(const char* fname, output_target& out)
{
    // Links are rare on Windows and need rights to create; the output path is
    // taken as it is, so a link there is replaced by the file.
    out.path = fname;
    const std::wstring path = system_path(out.path);
    // No access rights are needed to ask what kind of object a name refers to,
    // and "NUL" or "CON" are not files that could be replaced.
    const HANDLE any = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (any == INVALID_HANDLE_VALUE) {
        const int error = failure();
        out.kind = kOutputNew;
        return error == ERROR_FILE_NOT_FOUND ? 0 : error;
    }
    const DWORD type = GetFileType(any);
    BY_HANDLE_FILE_INFORMATION info;
    const bool known = GetFileInformationByHandle(any, &info);
    CloseHandle(any);
    if (known && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return ERROR_DIRECTORY;
    out.kind = type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE ? kOutputDevice : kOutputFile;
    if (out.kind == kOutputDevice)
        return 0;
    // Kept open for an overwrite in place, where the folder takes no new
    // file. Sharing everything, it keeps no one, ReplaceFileW included, from
    // the file.
    const DWORD everyone = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const HANDLE file =
        CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, everyone, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        out.file = native(file);
        return 0;
    }
    // A rename would replace a file that may not be written: ask as "wb" would.
    // Another program that has it open says nothing about that, and the
    // replacement waits for it to let go.
    const HANDLE probe = CreateFileW(path.c_str(), GENERIC_WRITE, everyone, nullptr, OPEN_EXISTING, 0, nullptr);
    if (probe != INVALID_HANDLE_VALUE) {
        CloseHandle(probe);
        return 0;
    }
    const int error = failure();
    if (!in_use(error))
        return error;
    return known && (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) ? ERROR_ACCESS_DENIED : 0;
}

bool output_replaced(int)
{
    // commit_staging swaps in whatever the output's name leads to then.
    return false;
}

int look_up_again(output_target& out)
{
    close_file(out.file);
    return open_output(out.path.c_str(), out);
}

int open_device(const output_target& out, native_handle& file)
{
    const HANDLE handle = CreateFileW(system_path(out.path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return failure();
    file = native(handle);
    return 0;
}
