#include "platform.h"

#include <windows.h>

#include <conio.h>
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

bool get_work_dir(std::string& dir)
{
    // msvcrt allocates a buffer of the length the directory needs.
    char* cwd = _getcwd(nullptr, 0);
    if (cwd == nullptr)
        return false;
    dir = cwd;
    std::free(cwd);
    return true;
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

std::FILE* create_new_file(const char* path, unsigned)
{
    const int fd = _open(path, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
    if (fd < 0)
        return nullptr;
    std::FILE* file = _fdopen(fd, "wb");
    if (file == nullptr) {
        const int saved = errno;
        _close(fd);
        _unlink(path);
        errno = saved;
    }
    return file;
}

bool sync_file(std::FILE* file)
{
    return std::fflush(file) == 0 && _commit(_fileno(file)) == 0;
}

bool is_device(const char* path)
{
    // No access rights are needed to ask what kind of object a name refers to,
    // and "NUL" or "CON" are not files that could be replaced.
    HANDLE handle = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    const DWORD type = GetFileType(handle);
    CloseHandle(handle);
    return type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE;
}

bool follow_links(std::string&)
{
    // Links are rare on Windows and need rights to create; the output path is
    // taken as it is, so a link there is replaced by the file.
    return true;
}

void expect_to_fill(void*, size_t)
{
}

bool replace_file(const char* from, const char* to)
{
    // The C runtime's rename refuses an existing target on Windows.
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}
