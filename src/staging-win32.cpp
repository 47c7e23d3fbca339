// Windows: the staging file, and putting it in the output's place. A staging
// file beside the output is marked for deletion on its open handle from its
// first moment, so that the system removes it however the process ends
// (TerminateProcess included); the mark comes off only for the swap itself.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

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

void make_temp_name(char (&name)[kNameSize])
{
    static unsigned counter = 0;
    const unsigned mix = GetTickCount() ^ (GetCurrentProcessId() << 16);
    std::snprintf(name, sizeof name, ".xmlstamp-%08x.tmp", mix + 0x9e3779b9u * ++counter);
}

bool exists(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    return GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data);
}

int remove_file(const std::wstring& path)
{
    return with_retries(
        [&] { return DeleteFileW(path.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND ? 0 : failure(); });
}

// Has the system delete the file when its last handle is closed, or no longer.
bool mark_for_deletion(native_handle file, bool doomed)
{
    FILE_DISPOSITION_INFO disposition = {static_cast<BOOLEAN>(doomed)};
    return SetFileInformationByHandle(handle_of(file), FileDispositionInfo, &disposition, sizeof disposition);
}

// Marks a file just created for deletion. Wine makes a new file's permission
// bits from the access list it is given, and the list of a read-only output
// makes a read-only file, which cannot be marked: it is made writable first.
bool mark_new_file(native_handle file)
{
    FILE_BASIC_INFO info = {};
    info.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    return mark_for_deletion(file, true) ||
           (SetFileInformationByHandle(handle_of(file), FileBasicInfo, &info, sizeof info) &&
            mark_for_deletion(file, true));
}

// The staging files that have a name: the new bytes, and the old ones kept
// aside. One marked for deletion goes with its handle; Ctrl-C, Ctrl-Break or
// a closed console must not leave one that is not.
struct named_file {
    const staging* stage = nullptr;
    std::wstring path;
    bool marked = false;
};
named_file named_files[2];
// Taken to give or take a name or a mark, and by the console handler from
// the moment it runs until the process ends.
SRWLOCK naming = SRWLOCK_INIT;

void remember(const staging& stage, const std::wstring& path, bool marked)
{
    for (named_file& named : named_files)
        if (named.stage == nullptr) {
            named = {&stage, path, marked};
            return;
        }
}

named_file* entry_of(const staging& stage)
{
    for (named_file& named : named_files)
        if (named.stage == &stage)
            return &named;
    return nullptr;
}

void forget(staging& stage)
{
    if (named_file* named = entry_of(stage))
        *named = named_file();
    stage.name[0] = '\0';
}

// Ends the run as the system's own handler would, but without a staging file
// left behind or the console left in UTF-8.
BOOL WINAPI end_run(DWORD)
{
    AcquireSRWLockExclusive(&naming);
    for (const named_file& named : named_files)
        if (named.stage != nullptr && !named.marked)
            remove_file(named.path);
    restore_console();
    ExitProcess(STATUS_CONTROL_C_EXIT);
}

// The old output's access list, as CreateFileW takes it: a file made to take
// its place is then never more open than it, even while it is written. Empty
// when it cannot be read.
std::vector<unsigned char> access_list_of(const std::wstring& path)
{
    DWORD size = 0;
    GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &size);
    std::vector<unsigned char> descriptor(size);
    if (size == 0 || !GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, descriptor.data(), size, &size))
        descriptor.clear();
    return descriptor;
}

// Creates a file of a name no other file in `folder` (a full path, ending in
// a separator) has; its path in `path`.
int create_new_file(const std::wstring& folder, DWORD sharing, DWORD flags, SECURITY_ATTRIBUTES* security,
                    staging& stage, std::wstring& path)
{
    int error = ERROR_FILE_EXISTS;
    for (int attempt = 0; attempt < 100 && error == ERROR_FILE_EXISTS; ++attempt) {
        make_temp_name(stage.name);
        path = long_form(folder + widen(stage.name));
        const HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, sharing, security,
                                          CREATE_NEW, flags, nullptr);
        error = handle == INVALID_HANDLE_VALUE ? failure() : 0;
        if (error == 0)
            stage.file = native(handle);
    }
    return error;
}

// `path` with its last part as the folder holds it: the long name for a short
// one, and the case it was created in. A rename to the name as typed would
// change what the file is called.
std::wstring own_name(const std::wstring& path)
{
    const size_t slash = path.find_last_of(L'\\');
    if (slash == std::wstring::npos || path.find(L':', slash) != std::wstring::npos)
        return path;  // not a file in a folder, or a stream of one
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW(path.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return path;
    FindClose(search);
    return long_form(path.substr(0, slash + 1) + found.cFileName);  // the long name may need \\?\ now
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

// Opens the target as ReplaceFileW opens it first, to learn that it may:
// Wine's leaves an empty file behind when another program keeps it from that.
int open_as_replaced(const std::wstring& target)
{
    const HANDLE check =
        CreateFileW(target.c_str(), GENERIC_READ | DELETE | SYNCHRONIZE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (check == INVALID_HANDLE_VALUE)
        return failure();
    CloseHandle(check);
    return 0;
}

// Puts the staged file in the target's place. ReplaceFileW keeps what makes
// the target the same file to Windows (security descriptor, creation time,
// short name, streams); a target that is gone by now takes a plain rename,
// also when ReplaceFileW removed it and then failed.
int swap_in(const std::wstring& staged, const std::wstring& target, bool& existing)
{
    if (existing) {
        const int error = ReplaceFileW(target.c_str(), staged.c_str(), nullptr, 0, nullptr, nullptr) ? 0 : failure();
        if (error != ERROR_UNABLE_TO_MOVE_REPLACEMENT && error != ERROR_FILE_NOT_FOUND)
            return error;
        existing = false;
    }
    return MoveFileExW(staged.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ? 0
                                                                                                           : failure();
}

// One try at the swap, with the naming lock held. ReplaceFileW and
// MoveFileExW take only a file that nobody has open: the mark comes off and
// the handle is closed for the swap's own moment, after all else is known;
// a failed try opens and marks the file again while the next one waits, for
// reading: where no try succeeds, the output is written from it in place.
int swap_once(staging& stage, const std::wstring& target, bool& existing)
{
    named_file* const entry = entry_of(stage);
    if (entry == nullptr)
        return ERROR_FILE_NOT_FOUND;
    named_file& named = *entry;
    if (existing) {
        const int error = open_as_replaced(target);
        if (error != 0 && error != ERROR_FILE_NOT_FOUND)
            return error;
        existing = error == 0;
    }
    if (named.marked && !mark_for_deletion(stage.file, false))
        return failure();
    named.marked = false;
    close_file(stage.file);
    const int error = swap_in(named.path, target, existing);
    if (error == 0) {
        forget(stage);
        return 0;
    }
    const HANDLE again = CreateFileW(named.path.c_str(), GENERIC_READ | DELETE | SYNCHRONIZE, FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, 0, nullptr);
    if (again != INVALID_HANDLE_VALUE) {
        stage.file = native(again);
        named.marked = mark_for_deletion(stage.file, true);
    }
    return error;
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
    std::vector<unsigned char> descriptor;
    if (out.kind == kOutputFile)
        descriptor = access_list_of(system_path(out.path));
    SECURITY_ATTRIBUTES security = {sizeof security, descriptor.data(), FALSE};
    watch_console_events();
    // Others may delete it, and only that. The console handler must know of
    // it from its first moment, and may not run before it is marked.
    std::wstring path;
    AcquireSRWLockExclusive(&naming);
    const int error = create_new_file(folder, FILE_SHARE_DELETE, FILE_ATTRIBUTE_NORMAL,
                                      descriptor.empty() ? nullptr : &security, stage, path);
    if (error == 0)
        remember(stage, path, mark_new_file(stage.file));
    else
        stage.name[0] = '\0';
    ReleaseSRWLockExclusive(&naming);
    return error;
}

int stage_in_temp_folder(staging& stage)
{
    // A file that the system deletes when it is closed, however the process
    // ends, and keeps in its cache rather than on disk where it can. It takes
    // the access of the temporary folder, which is the user's own.
    const DWORD size = GetTempPathW(0, nullptr);
    std::wstring folder(size, L'\0');
    const DWORD n = size == 0 ? 0 : GetTempPathW(size, folder.data());
    if (n == 0 || n >= size)
        return failure();
    folder.resize(n);
    std::wstring path;
    const int error =
        create_new_file(folder, 0, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr, stage, path);
    stage.in_temp_folder = error == 0;
    stage.name[0] = '\0';  // the system removes it
    return error;
}

int stage_as_output(const output_target& out, staging& stage)
{
    const std::wstring path = system_path(out.path);
    watch_console_events();
    AcquireSRWLockExclusive(&naming);
    const HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_DELETE, nullptr,
                                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    const int error = handle == INVALID_HANDLE_VALUE ? failure() : 0;
    if (error == 0) {
        stage.file = native(handle);
        std::snprintf(stage.name, sizeof stage.name, "%s", "output");
        remember(stage, path, mark_new_file(stage.file));
    }
    ReleaseSRWLockExclusive(&naming);
    return error;
}

int keep_staging(staging& stage)
{
    AcquireSRWLockExclusive(&naming);
    const named_file* named = entry_of(stage);
    const int error = named != nullptr && named->marked && !mark_for_deletion(stage.file, false) ? failure() : 0;
    if (error == 0)
        forget(stage);
    ReleaseSRWLockExclusive(&naming);
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
    const std::wstring target = own_name(system_path(out.path));
    // An output that cannot be asked about is not taken for a new one: a
    // plain rename over it would drop what makes it the same file.
    WIN32_FILE_ATTRIBUTE_DATA old;
    bool existing = GetFileAttributesExW(target.c_str(), GetFileExInfoStandard, &old);
    if (!existing && GetLastError() != ERROR_FILE_NOT_FOUND)
        return failure();
    if (existing)
        if (const int error = take_identity(handle_of(stage.file), old))
            return error;
    return with_retries([&] {
        AcquireSRWLockExclusive(&naming);
        const int error = swap_once(stage, target, existing);
        ReleaseSRWLockExclusive(&naming);
        return error;
    });
}

int sync_folder(const staging&)
{
    // MoveFileExW writes the new name through. ReplaceFileW has no such
    // flag: the swap lasts as soon as the file system's log reaches the
    // disk, and flushing the whole volume takes an administrator.
    return 0;
}

int discard_staging(staging& stage, std::string& left)
{
    const named_file* named = stage.name[0] != '\0' ? entry_of(stage) : nullptr;
    const std::wstring path = named != nullptr ? named->path : std::wstring();
    const bool marked = named != nullptr && named->marked;
    close_file(stage.file);
    // Marked, it went with its handle. Where the folder lets this user create
    // files but not remove them, Windows refuses the mark or the handle, but
    // Wine takes both and leaves the file: whether it is gone is asked.
    int error = 0;
    if (!path.empty() && (!marked || exists(path))) {
        error = remove_file(path);
        if (error == 0 && exists(path))
            error = ERROR_ACCESS_DENIED;
        if (error != 0)
            left = narrow(path.data(), path.size());
    }
    if (named != nullptr) {
        AcquireSRWLockExclusive(&naming);
        forget(stage);
        ReleaseSRWLockExclusive(&naming);
    }
    close_file(stage.folder);
    stage.in_temp_folder = false;
    return error;
}

bool in_place_may_work(int error)
{
    // A folder that takes no new file (no right to create files in it), or
    // an output that may be written but not deleted or renamed.
    return error == ERROR_ACCESS_DENIED;
}

void hold_signals()
{
    AcquireSRWLockExclusive(&naming);
}

void release_signals()
{
    ReleaseSRWLockExclusive(&naming);
}
