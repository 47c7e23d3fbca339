// Linked into xmlstamp-faults.exe only, never into what ships: at start-up it
// points the executable's imports of the file and handle calls at wrappers
// that count them, and can fail one or end the process after it.
//
//   XMLSTAMP_CALLS=PATH          each call is written to PATH, a line each: its
//                                name, and for a few what it did
//   XMLSTAMP_FAULT=NAME:N:ERROR  the Nth call of NAME (every one for 0) is not
//                                made (a close is), and fails with ERROR
//   XMLSTAMP_FAULT=NAME:N:kill   the process ends right after the Nth call of
//                                NAME, as TerminateProcess ends it (status 9)
//
// XMLSTAMP_FAULT takes up to four, separated by commas. Sleep returns at once,
// so that a run that waits for a held file takes no longer.
#include <windows.h>

#include <direct.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <type_traits>

namespace {

struct hooked {
    const char* name;
    void* wrapper;
    void* real = nullptr;
    unsigned calls = 0;
};
extern hooked table[];

struct fault {
    char name[64];
    unsigned nth;
    DWORD error;  // 0: the process ends after the call
} faults[4];
int fault_count = 0;
HANDLE log_file = INVALID_HANDLE_VALUE;

// A line of the log, written through the real WriteFile.
void log_line(const char* name, const char* detail)
{
    char line[400];
    const int n = std::snprintf(line, sizeof line, "%s %s\n", name, detail);
    DWORD written;
    if (log_file != INVALID_HANDLE_VALUE)
        reinterpret_cast<decltype(&WriteFile)>(table[0].real)(log_file, line, static_cast<DWORD>(n), &written, nullptr);
}

// What a call did that the sweep tells runs apart by: the last part of the
// path a file is created at, and whether a disposition marks or clears.
template <class... A> void describe(char (&)[300], A...)
{
}

void describe(char (&out)[300], LPCWSTR path, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD how, DWORD, HANDLE)
{
    const wchar_t* last = std::wcsrchr(path, L'\\');
    if (how == CREATE_NEW)
        std::snprintf(out, sizeof out, "new %ls", last != nullptr ? last + 1 : path);
}

void describe(char (&out)[300], HANDLE, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info, DWORD)
{
    if (kind == FileDispositionInfo)
        std::snprintf(out, sizeof out, "%s", static_cast<FILE_DISPOSITION_INFO*>(info)->DeleteFile ? "mark" : "unmark");
}

template <class R> R failed()
{
    if constexpr (std::is_same_v<R, HANDLE>)
        return INVALID_HANDLE_VALUE;
    else
        return R{};
}

template <size_t I, class R, class... A> R wrapper(A... args)
{
    hooked& call = table[I];
    char detail[300] = "";
    describe(detail, args...);
    log_line(call.name, detail);
    ++call.calls;
    const fault* chosen = nullptr;
    for (const fault* f = faults; f < faults + fault_count; ++f)
        if ((f->nth == call.calls || f->nth == 0) && std::strcmp(call.name, f->name) == 0)
            chosen = f;
    if (chosen != nullptr && chosen->error != 0) {
        // A failed close has closed the handle all the same.
        if (std::strcmp(call.name, "CloseHandle") == 0 || std::strcmp(call.name, "FindClose") == 0)
            reinterpret_cast<R (*)(A...)>(call.real)(args...);
        SetLastError(chosen->error);
        return failed<R>();
    }
    const R result = reinterpret_cast<R (*)(A...)>(call.real)(args...);
    if (chosen != nullptr)
        TerminateProcess(GetCurrentProcess(), 9);
    return result;
}

template <size_t I, class R, class... A> constexpr hooked hook(const char* name, R (*)(A...))
{
    return {name, reinterpret_cast<void*>(&wrapper<I, R, A...>)};
}

// WriteFile first: the log is written through it.
hooked table[] = {
    hook<0>("WriteFile", &WriteFile),
    hook<1>("CreateFileW", &CreateFileW),
    hook<2>("ReadFile", &ReadFile),
    hook<3>("SetFilePointerEx", &SetFilePointerEx),
    hook<4>("SetFileInformationByHandle", &SetFileInformationByHandle),
    hook<5>("GetFileSizeEx", &GetFileSizeEx),
    hook<6>("FlushFileBuffers", &FlushFileBuffers),
    hook<7>("ReplaceFileW", &ReplaceFileW),
    hook<8>("MoveFileExW", &MoveFileExW),
    hook<9>("DeleteFileW", &DeleteFileW),
    hook<10>("GetFileAttributesExW", &GetFileAttributesExW),
    hook<11>("GetFileSecurityW", &GetFileSecurityW),
    hook<12>("FindFirstFileW", &FindFirstFileW),
    hook<13>("FindClose", &FindClose),
    hook<14>("GetTempPathW", &GetTempPathW),
    hook<15>("GetFileType", &GetFileType),
    hook<16>("GetFileInformationByHandle", &GetFileInformationByHandle),
    hook<17>("CloseHandle", &CloseHandle),
    hook<18>("GetFullPathNameW", &GetFullPathNameW),
    hook<19>("_wgetcwd", &_wgetcwd),
};

void WINAPI no_sleep(DWORD)
{
}

// Points each import of `table` at its wrapper, and Sleep at no_sleep.
void patch_imports()
{
    auto* const base = reinterpret_cast<unsigned char*>(GetModuleHandleW(nullptr));
    const auto* const nt =
        reinterpret_cast<IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const DWORD imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    for (auto* dll = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports); dll->Name != 0; ++dll) {
        auto* name = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->OriginalFirstThunk);
        for (auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->FirstThunk); name->u1.AddressOfData != 0;
             ++name, ++slot) {
            if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal))
                continue;
            const char* imported = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + name->u1.AddressOfData)->Name;
            void* wrapper = std::strcmp(imported, "Sleep") == 0 ? reinterpret_cast<void*>(&no_sleep) : nullptr;
            for (hooked& call : table)
                if (std::strcmp(call.name, imported) == 0) {
                    call.real = reinterpret_cast<void*>(slot->u1.Function);
                    wrapper = call.wrapper;
                }
            DWORD was;
            if (wrapper != nullptr &&
                VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, PAGE_READWRITE, &was)) {
                slot->u1.Function = reinterpret_cast<ULONG_PTR>(wrapper);
                VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, was, &was);
            }
        }
    }
}

// Before main: the pass's calls are all made after it.
const bool installed = [] {
    if (const char* path = std::getenv("XMLSTAMP_CALLS"))
        log_file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    const char* wanted = std::getenv("XMLSTAMP_FAULT");
    for (int n = 0; wanted != nullptr && *wanted != '\0' && fault_count < 4; wanted += n + (wanted[n] == ',')) {
        fault& f = faults[fault_count++];
        char how[16] = "";
        if (std::sscanf(wanted, "%63[^:]:%u:%15[^,]%n", f.name, &f.nth, how, &n) != 3)
            std::abort();
        f.error = std::strcmp(how, "kill") == 0 ? 0 : static_cast<DWORD>(std::strtoul(how, nullptr, 10));
    }
    patch_imports();
    return true;
}();

}  // namespace
