// Console, errors and handles.
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <vector>

#include "common-posix.h"
#include "platform.h"

namespace {

// Writes all `size` bytes, at `offset`, or at the file position when that is -1.
int write_fully(int fd, const unsigned char* data, size_t size, off_t offset)
{
    while (size > 0) {
        const ssize_t n = offset < 0 ? write(fd, data, size) : pwrite(fd, data, size, offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? failure() : EIO;
        data += n;
        size -= static_cast<size_t>(n);
        if (offset >= 0)
            offset += n;
    }
    return 0;
}

// An arrow or a function key sends several bytes (Up: ESC [ A, F5: ESC [ 1 5
// ~), and the wait ends at the first; the rest, left unread, would reach the
// shell's next prompt. They come together, so reading until the terminal has
// been quiet for a tenth of a second takes the whole key, and a held key or a
// paste cannot keep the process for long.
void discard_rest_of_key(const termios& raw)
{
    termios quiet = raw;
    quiet.c_cc[VMIN] = 0;
    quiet.c_cc[VTIME] = 1;
    tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    unsigned char rest[64];
    for (int reads = 0; reads < 8 && read(STDIN_FILENO, rest, sizeof rest) > 0; ++reads) {
    }
}

}  // namespace

void use_utf8(int&, char**&)
{
}

std::vector<std::string> expand_wildcards(const char* arg)
{
    return {arg};
}

std::string describe_error(int error)
{
    return std::strerror(error);
}

int out_of_memory_error()
{
    return ENOMEM;
}

int get_work_dir(std::string& dir)
{
    // Linux gives at most a page; other systems may need more, but not
    // without end. Most directories take a few hundred bytes: a buffer of a
    // page would cost a small stamp a page fault more than another call.
    std::vector<char> buf;
    for (size_t size = 256; size <= (size_t{1} << 20); size *= 2) {
        buf.resize(size);
        if (getcwd(buf.data(), buf.size()) != nullptr) {
            dir = buf.data();
            return 0;
        }
        if (errno != ERANGE)
            return failure();
    }
    return ENAMETOOLONG;
}

void ignore_broken_pipe()
{
    std::signal(SIGPIPE, SIG_IGN);
}

void wait_for_key()
{
    unsigned char key;
    termios saved;
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved) != 0) {
        (void)!read(STDIN_FILENO, &key, 1);
        return;
    }
    // Like _getch: one key, no Enter, no echo; Ctrl-C is a key too, so it
    // cannot end the process with the terminal still in this state.
    termios raw = saved;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    while (read(STDIN_FILENO, &key, 1) < 0 && errno == EINTR) {
    }
    discard_rest_of_key(raw);
    tcsetattr(STDIN_FILENO, TCSANOW, &saved);
}

int open_input(const char* path, native_handle& file)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return failure();
    file = fd;
    return 0;
}

int read_some(native_handle file, unsigned char* data, size_t size, size_t& got)
{
    ssize_t n;
    while ((n = read(fd_of(file), data, size)) < 0)
        if (errno != EINTR)
            return failure();
    got = static_cast<size_t>(n);
    return 0;
}

int write_all(native_handle file, const unsigned char* data, size_t size)
{
    return write_fully(fd_of(file), data, size, -1);
}

bool copy_some(native_handle from, native_handle to, uint64_t most, uint64_t& copied)
{
    const ssize_t n = copy_file_range(fd_of(from), nullptr, fd_of(to), nullptr, static_cast<size_t>(most), 0);
    copied = n > 0 ? static_cast<uint64_t>(n) : 0;
    return n >= 0;
}

void start_flush(native_handle file, uint64_t offset, uint64_t size)
{
    // Devices, pipes and memory refuse; they have nothing to flush.
    sync_file_range(fd_of(file), static_cast<off_t>(offset), static_cast<off_t>(size), SYNC_FILE_RANGE_WRITE);
}

void release_cache(native_handle old_output, native_handle input)
{
    // Below this the pages are too few to matter, and dropping them costs a
    // small stamp more than it saves.
    constexpr off_t kLeastWorthReleasing = off_t{512} << 10;
    struct stat out;
    struct stat in;
    if (fstat(fd_of(old_output), &out) == 0 && out.st_size >= kLeastWorthReleasing && fstat(fd_of(input), &in) == 0 &&
        !same_file(out, in))
        posix_fadvise(fd_of(old_output), 0, 0, POSIX_FADV_DONTNEED);
}

int write_at(native_handle file, uint64_t offset, const unsigned char* data, size_t size)
{
    return write_fully(fd_of(file), data, size, static_cast<off_t>(offset));
}

int set_file_size(native_handle file, uint64_t size)
{
    if (ftruncate(fd_of(file), static_cast<off_t>(size)) == 0)
        return 0;
    const int error = failure();
    uint64_t now = 0;
    return not_done_here(error) && file_size(file, now) == 0 && now == size ? 0 : error;
}

int rewind_file(native_handle file)
{
    return lseek(fd_of(file), 0, SEEK_SET) == 0 ? 0 : failure();
}

int file_size(native_handle file, uint64_t& size)
{
    struct stat st;
    if (fstat(fd_of(file), &st) != 0)
        return failure();
    size = static_cast<uint64_t>(st.st_size);
    return 0;
}

int sync_file(native_handle file)
{
    return flush_to_disk(fd_of(file));
}

void close_file(native_handle& file)
{
    if (file != kNoHandle)
        close(fd_of(file));
    file = kNoHandle;
}
