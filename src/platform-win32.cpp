#include <windows.h>

#include <conio.h>
#include <direct.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "platform.h"

namespace {

HANDLE handle_of(native_handle file)
{
    return reinterpret_cast<HANDLE>(file);
}

native_handle native(HANDLE handle)
{
    return reinterpret_cast<native_handle>(handle);
}

int failure()
{
    const DWORD error = GetLastError();
    return error != 0 ? static_cast<int>(error) : ERROR_GEN_FAILURE;
}

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

// Everything up to the last separator: the folder a new file beside `path` goes in.
std::string folder_of(const std::string& path)
{
    const size_t slash = path.find_last_of("/\\");
    if (slash == std::string::npos)
        return ".";
    return path.substr(0, slash + 1);
}

std::wstring path_in_folder(native_handle folder, const char* name)
{
    wchar_t buf[MAX_PATH + 1];
    DWORD n = GetFinalPathNameByHandleW(handle_of(folder), buf, MAX_PATH + 1, FILE_NAME_NORMALIZED);
    std::wstring path(buf, n <= MAX_PATH ? n : 0);
    if (n > MAX_PATH) {
        path.resize(n);
        n = GetFinalPathNameByHandleW(handle_of(folder), path.data(), n, FILE_NAME_NORMALIZED);
        path.resize(n);
    }
    return path + L'\\' + widen(name);
}

void make_temp_name(char (&name)[32])
{
    static unsigned counter = 0;
    const unsigned mix = GetTickCount() ^ (GetCurrentProcessId() << 16);
    std::snprintf(name, sizeof name, ".xmlstamp-%08x.tmp", mix + 0x9e3779b9u * ++counter);
}

}  // namespace

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
    const HANDLE handle = CreateFileW(widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return failure();
    file = native(handle);
    return 0;
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

const unsigned char* map_view(native_handle file, uint64_t offset, size_t size, int& error)
{
    const HANDLE mapping = CreateFileMappingW(handle_of(file), nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (mapping == nullptr) {
        error = failure();
        return nullptr;
    }
    void* view =
        MapViewOfFile(mapping, FILE_MAP_READ, static_cast<DWORD>(offset >> 32), static_cast<DWORD>(offset), size);
    error = view == nullptr ? failure() : 0;
    // The view keeps what it needs of the mapping.
    CloseHandle(mapping);
    return static_cast<const unsigned char*>(view);
}

void unmap_view(const unsigned char* view, size_t)
{
    UnmapViewOfFile(view);
}

int open_output(const char* fname, output_target& out)
{
    // Links are rare on Windows and need rights to create; the output path is
    // taken as it is, so a link there is replaced by the file.
    out.path = fname;
    const std::wstring path = widen(out.path);
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
    const bool folder = GetFileInformationByHandle(any, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    CloseHandle(any);
    if (folder)
        return ERROR_DIRECTORY;
    out.kind = type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE ? kOutputDevice : kOutputFile;
    if (out.kind == kOutputDevice)
        return 0;
    // A rename would replace a file that may not be written: ask as "wb" would.
    const HANDLE probe =
        CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, 0, nullptr);
    if (probe == INVALID_HANDLE_VALUE)
        return failure();
    CloseHandle(probe);
    return 0;
}

int open_device(const char* path, native_handle& file)
{
    const HANDLE handle = CreateFileW(widen(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return failure();
    file = native(handle);
    return 0;
}

int stage_beside(const output_target& out, staging& stage)
{
    const std::wstring folder = widen(folder_of(out.path));
    const HANDLE folder_handle = CreateFileW(folder.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                             nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder_handle == INVALID_HANDLE_VALUE)
        return failure();
    stage.folder = native(folder_handle);
    for (int attempt = 0; attempt < 100; ++attempt) {
        make_temp_name(stage.name);
        const HANDLE handle =
            CreateFileW(path_in_folder(stage.folder, stage.name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                        CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            stage.file = native(handle);
            return 0;
        }
        const int error = failure();
        if (error != ERROR_FILE_EXISTS) {
            stage.name[0] = '\0';
            discard_staging(stage);
            return error;
        }
    }
    stage.name[0] = '\0';
    discard_staging(stage);
    return ERROR_FILE_EXISTS;
}

int stage_in_memory(staging& stage)
{
    // A temporary file that the system deletes when it is closed, however the
    // process ends, and keeps in its cache rather than on disk where it can.
    wchar_t folder[MAX_PATH + 1];
    wchar_t path[MAX_PATH + 1];
    if (GetTempPathW(MAX_PATH + 1, folder) == 0 || GetTempFileNameW(folder, L"xms", 0, path) == 0)
        return failure();
    const HANDLE handle = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const int error = failure();
        DeleteFileW(path);
        return error;
    }
    stage.file = native(handle);
    stage.in_memory = true;
    return 0;
}

int carry_identity(const output_target&, staging&)
{
    return 0;
}

int commit_staging(staging& stage, const output_target& out)
{
    if (!FlushFileBuffers(handle_of(stage.file)))
        return failure();
    // Windows renames a file only when no handle to it is open.
    close_file(stage.file);
    // The C runtime's rename refuses an existing target on Windows.
    if (!MoveFileExW(path_in_folder(stage.folder, stage.name).c_str(), widen(out.path).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return failure();
    stage.name[0] = '\0';
    return 0;
}

void discard_staging(staging& stage)
{
    close_file(stage.file);
    if (stage.name[0] != '\0')
        DeleteFileW(path_in_folder(stage.folder, stage.name).c_str());
    stage.name[0] = '\0';
    close_file(stage.folder);
    stage.in_memory = false;
}

bool in_place_may_work(int)
{
    return false;
}

void hold_signals()
{
}

void release_signals()
{
}
