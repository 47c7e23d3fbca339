// What the Windows tests need done by a Windows program, under the same Wine
// as the tool:
//
//   windows_helper code-page                  prints the ANSI code page it runs with
//   windows_helper attributes PATH [HEX]      sets PATH's attributes, prints them in hex
//   windows_helper hold PATTERN SHARING       opens the first file that matches
//       PATTERN once there is one, for reading, as another program would,
//       letting others read (r), write (w) and delete or rename it (d) as
//       SHARING says. Prints "held" and keeps it open until its standard
//       input ends.
//   windows_helper short-name PATH            prints PATH's short (8.3) form
//   windows_helper run PROGRAM [ARG]...       starts PROGRAM, prints "started";
//       ends it with TerminateProcess (status 9), as Task Manager or a
//       cancelled build does, once its own standard input gets a byte or
//       ends; prints "ended" and PROGRAM's exit status when it is gone.
//       PROGRAM shares the standard output.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

int hold(const wchar_t* pattern, const std::wstring& sharing)
{
    const std::wstring path = pattern;
    const std::wstring folder = path.substr(0, path.find_last_of(L"\\/") + 1);
    DWORD share = 0;
    for (const wchar_t letter : sharing)
        share |= letter == L'r' ? FILE_SHARE_READ : letter == L'w' ? FILE_SHARE_WRITE : FILE_SHARE_DELETE;
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int tries = 0; file == INVALID_HANDLE_VALUE && tries < 60000; ++tries) {
        WIN32_FIND_DATAW found;
        const HANDLE search = FindFirstFileW(pattern, &found);
        if (search != INVALID_HANDLE_VALUE) {
            FindClose(search);
            file = CreateFileW((folder + found.cFileName).c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0,
                               nullptr);
        }
        if (file == INVALID_HANDLE_VALUE)
            Sleep(1);
    }
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    std::printf("held\n");
    std::fflush(stdout);
    char byte;
    DWORD got;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &got, nullptr) && got > 0) {
    }
    CloseHandle(file);
    return 0;
}

// Ends `process` when standard input gets a byte or ends.
DWORD WINAPI terminate_on_input(void* process)
{
    char byte;
    DWORD got;
    ReadFile(GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &got, nullptr);
    TerminateProcess(process, 9);
    return 0;
}

int run(int argc, wchar_t** argv)
{
    std::wstring command;
    for (int i = 2; i < argc; ++i)
        command += std::wstring(i > 2 ? L" \"" : L"\"") + argv[i] + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = INVALID_HANDLE_VALUE;
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process;
    if (!CreateProcessW(argv[2], command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process))
        return 1;
    std::printf("started\n");
    std::fflush(stdout);
    CloseHandle(CreateThread(nullptr, 0, terminate_on_input, process.hProcess, 0, nullptr));
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 0;
    GetExitCodeProcess(process.hProcess, &status);
    std::printf("ended %lu\n", status);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"code-page") {
        std::printf("%u\n", GetACP());
        return 0;
    }
    if (command == L"attributes" && argc >= 3) {
        if (argc == 4 && !SetFileAttributesW(argv[2], std::wcstoul(argv[3], nullptr, 16)))
            return 1;
        const DWORD attributes = GetFileAttributesW(argv[2]);
        std::printf("%lx\n", attributes);
        return attributes == INVALID_FILE_ATTRIBUTES ? 1 : 0;
    }
    if (command == L"hold" && argc == 4)
        return hold(argv[2], argv[3]);
    if (command == L"short-name" && argc == 3) {
        wchar_t name[MAX_PATH] = L"";
        const DWORD n = GetShortPathNameW(argv[2], name, MAX_PATH);
        std::printf("%ls\n", name);
        return n == 0 || n >= MAX_PATH ? 1 : 0;
    }
    if (command == L"run" && argc >= 3)
        return run(argc, argv);
    std::fprintf(stderr, "usage: windows_helper code-page | attributes PATH [HEX] | hold PATTERN SHARING |\n"
                         "                      short-name PATH | run PROGRAM [ARG]...\n");
    return 2;
}
