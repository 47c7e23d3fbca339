// Windows: the staging file, and putting it in the output's place.
#include <windows.h>

#include <cstdio>
#include <string>

#include "platform-win32.h"
#include "platform.h"
#include "wide-win32.h"

namespace {

// The folder part of a full path, separator included.
std::wstring folder_of(const std::wstring& full)
{
    const size_t slash = full.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : full.substr(0, slash + 1);
}

void make_temp_name(char (&name)[32])
{
    static unsigned counter = 0;
    const unsigned mix = GetTickCount() ^ (GetCurrentProcessId() << 16);
    std::snprintf(name, sizeof name, ".xmlstamp-%08x.tmp", mix + 0x9e3779b9u * ++counter);
}

int remove_file(const std::wstring& path)
{
    return with_retries(
        [&] { return DeleteFileW(path.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND ? 0 : failure(); });
}

// The staging files that have a name, which Ctrl-C, Ctrl-Break or a closed
// console must not leave behind: the new bytes, and the old ones kept aside.
struct named_file {
    const staging* stage = nullptr;
    std::wstring path;
};
named_file named_files[2];
// Taken to give or take a name, and by the console handler from the moment
// it runs until the process ends.
SRWLOCK naming = SRWLOCK_INIT;

void remember(const staging& stage, const std::wstring& path)
{
    for (named_file& named : named_files)
        if (named.stage == nullptr) {
            named.stage = &stage;
            named.path = path;
            return;
        }
}

std::wstring path_of(const staging& stage)
{
    for (const named_file& named : named_files)
        if (named.stage == &stage)
            return named.path;
    return std::wstring();
}

void forget(staging& stage)
{
    for (named_file& named : named_files)
        if (named.stage == &stage)
            named = named_file();
    stage.name[0] = '\0';
}

// Ends the run as the system's own handler would, but without a staging file
// left behind or the console left in UTF-8.
BOOL WINAPI end_run(DWORD)
{
    AcquireSRWLockExclusive(&naming);
    for (const named_file& named : named_files)
        if (named.stage != nullptr)
            remove_file(named.path);
    restore_console();
    ExitProcess(STATUS_CONTROL_C_EXIT);
}

// Creates a file of a name no other file in `folder` (a full path, ending in
// a separator) has; its path in `path`.
int create_new_file(const std::wstring& folder, DWORD sharing, DWORD flags, staging& stage, std::wstring& path)
{
    int error = ERROR_FILE_EXISTS;
    for (int attempt = 0; attempt < 100 && error == ERROR_FILE_EXISTS; ++attempt) {
        make_temp_name(stage.name);
        path = long_form(folder + widen(stage.name));
        const HANDLE handle =
            CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, sharing, nullptr, CREATE_NEW, flags, nullptr);
        error = handle == INVALID_HANDLE_VALUE ? failure() : 0;
        if (error == 0)
            stage.file = native(handle);
    }
    return error;
}

// Gives the staged file the attributes and creation time of the output it
// replaces: a rename would drop them, and Wine's ReplaceFileW does. Archive is
// set whatever it was, as any write sets it: the content is new.
int take_identity(HANDLE file, const WIN32_FILE_ATTRIBUTE_DATA& old)
{
    const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    FILE_BASIC_INFO info = {};
    info.CreationTime.LowPart = old.ftCreationTime.dwLowDateTime;
    info.CreationTime.HighPart = static_cast<LONG>(old.ftCreationTime.dwHighDateTime);
    info.FileAttributes = (old.dwFileAttributes & kept) | FILE_ATTRIBUTE_ARCHIVE;
    return SetFileInformationByHandle(file, FileBasicInfo, &info, sizeof info) ? 0 : failure();
}

// ReplaceFileW, after opening the target as it does first: Wine's leaves an
// empty file behind when another program keeps it from doing that.
int replace_file(const std::wstring& staged, const std::wstring& target)
{
    const HANDLE check =
        CreateFileW(target.c_str(), GENERIC_READ | DELETE | SYNCHRONIZE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (check == INVALID_HANDLE_VALUE)
        return failure();
    CloseHandle(check);
    return ReplaceFileW(target.c_str(), staged.c_str(), nullptr, 0, nullptr, nullptr) ? 0 : failure();
}

// Puts the staged file in the target's place. ReplaceFileW keeps what makes
// the target the same file to Windows (security descriptor, creation time,
// short name, streams); a target that is gone by now takes a plain rename,
// also when ReplaceFileW removed it and then failed.
int swap_in(const std::wstring& staged, const std::wstring& target, bool& existing)
{
    if (existing) {
        const int error = replace_file(staged, target);
        if (error != ERROR_UNABLE_TO_MOVE_REPLACEMENT && error != ERROR_FILE_NOT_FOUND)
            return error;
        existing = false;
    }
    return MoveFileExW(staged.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ? 0
                                                                                                           : failure();
}

}  // namespace

void watch_console_events()
{
    static bool watching = false;
    if (!watching)
        watching = SetConsoleCtrlHandler(end_run, TRUE);
}

int stage_beside(const output_target& out, staging& stage)
{
    const std::wstring folder = folder_of(full_path(widen(out.path)));
    watch_console_events();
    // Others may delete it, and only that: the console handler removes it
    // while it is still open, and so must know of it from its first moment.
    std::wstring path;
    AcquireSRWLockExclusive(&naming);
    const int error = create_new_file(folder, FILE_SHARE_DELETE, FILE_ATTRIBUTE_NORMAL, stage, path);
    if (error == 0)
        remember(stage, path);
    else
        stage.name[0] = '\0';
    ReleaseSRWLockExclusive(&naming);
    return error;
}

int stage_in_memory(staging& stage)
{
    // A file that the system deletes when it is closed, however the process
    // ends, and keeps in its cache rather than on disk where it can.
    const DWORD size = GetTempPathW(0, nullptr);
    std::wstring folder(size, L'\0');
    const DWORD n = size == 0 ? 0 : GetTempPathW(size, folder.data());
    if (n == 0 || n >= size)
        return failure();
    folder.resize(n);
    std::wstring path;
    const int error = create_new_file(folder, 0, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, stage, path);
    stage.in_memory = error == 0;
    stage.name[0] = '\0';  // the system removes it
    return error;
}

int carry_identity(const output_target&, staging&)
{
    // commit_staging does it: what the output is to Windows is read there, as
    // close to the swap as can be.
    return 0;
}

int commit_staging(staging& stage, const output_target& out)
{
    if (!FlushFileBuffers(handle_of(stage.file)))
        return failure();
    const std::wstring target = system_path(out.path);
    WIN32_FILE_ATTRIBUTE_DATA old;
    bool existing = GetFileAttributesExW(target.c_str(), GetFileExInfoStandard, &old);
    if (existing)
        if (const int error = take_identity(handle_of(stage.file), old))
            return error;
    // ReplaceFileW and MoveFileExW take only a file that nobody has open.
    close_file(stage.file);
    const std::wstring staged = path_of(stage);
    return with_retries([&] {
        AcquireSRWLockExclusive(&naming);
        const int error = swap_in(staged, target, existing);
        if (error == 0)
            forget(stage);
        ReleaseSRWLockExclusive(&naming);
        return error;
    });
}

void discard_staging(staging& stage)
{
    close_file(stage.file);
    if (stage.name[0] != '\0') {
        remove_file(path_of(stage));
        AcquireSRWLockExclusive(&naming);
        forget(stage);
        ReleaseSRWLockExclusive(&naming);
    }
    close_file(stage.folder);
    stage.in_memory = false;
}

bool in_place_may_work(int)
{
    return false;
}

void hold_signals()
{
    AcquireSRWLockExclusive(&naming);
}

void release_signals()
{
    ReleaseSRWLockExclusive(&naming);
}
