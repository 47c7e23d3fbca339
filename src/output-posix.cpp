// Finding the output: the file, device or pipe its path names now, and for a
// file the folder and the name that hold it, past any links.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <utility>

#include "common-posix.h"
#include "platform.h"

namespace {

// 0 when `fd` refers to the file `st` describes (the same device and inode),
// ESTALE when it refers to another.
int is_file(const struct stat& st, int fd)
{
    struct stat opened;
    if (fstat(fd, &opened) != 0)
        return failure();
    return same_file(opened, st) ? 0 : ESTALE;
}

// Opens the folder that holds the last name of `path`, taken from the folder
// `base` where it is relative, and keeps that name.
int open_folder(int base, const std::string& path, output_target& out)
{
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    out.name = slash == std::string::npos ? path : path.substr(slash + 1);
    const int fd = openat(base, folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    const int error = fd < 0 ? failure() : 0;
    close_file(out.folder);
    out.folder = fd;
    return error;
}

// What the link by the output's name holds; ESTALE when the name is no link.
int read_link(const output_target& out, std::string& target)
{
    char held[PATH_MAX];
    const ssize_t n = readlinkat(fd_of(out.folder), out.name.c_str(), held, sizeof held);
    if (n < 0)
        return errno == EINVAL ? ESTALE : failure();
    if (static_cast<size_t>(n) == sizeof held)
        return ENAMETOOLONG;
    target.assign(held, static_cast<size_t>(n));
    return 0;
}

// The folder and the name of the regular file `found`, which the system
// opened by the output's path: those of the path given, or where its last
// name is a link, those it leads to, link by link, as the system followed
// them. Each step only reads a link; the last must name `found` itself.
int find_name(int found, output_target& out)
{
    int error = open_folder(AT_FDCWD, out.path, out);
    for (int links = 0; error == 0 && (error = names_file(out, found)) != 0; ++links) {
        std::string target;
        if (links == 40)  // as many as the system follows
            return ELOOP;
        if ((error = read_link(out, target)) == 0)
            error = open_folder(fd_of(out.folder), target, out);
    }
    return error;
}

// Opens the file that was found for writing, which the user must be allowed,
// and for reading where allowed, which lets a failed overwrite in place put
// the old bytes back.
int open_for_writing(const struct stat& found, output_target& out)
{
    const int folder = fd_of(out.folder);
    int fd = openat(folder, out.name.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW);
    if (fd < 0 && errno == EACCES)
        fd = openat(folder, out.name.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW);
    if (fd < 0)
        return failure();
    out.file = fd;
    return is_file(found, fd);
}

// Nothing is at the output's path: a new file goes there, unless its last
// name is a link that leads to no file. That is refused, as cp refuses it:
// the system cannot be asked whether this user may follow the link without
// creating what it leads to.
int find_new_name(output_target& out)
{
    out.kind = kOutputNew;
    const int error = open_folder(AT_FDCWD, out.path, out);
    struct stat st;
    if (error == 0 && fstatat(fd_of(out.folder), out.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(st.st_mode))
        return ENOENT;
    return error;
}

// A descriptor of this process for the same socket as `found`, duplicated: a
// socket cannot be opened again by name, only used. -1 when there is none.
int held_socket(int found)
{
    struct stat wanted;
    DIR* fds = fstat(found, &wanted) == 0 && S_ISSOCK(wanted.st_mode) ? opendir("/proc/self/fd") : nullptr;
    int copy = -1;
    for (const dirent* entry; copy < 0 && fds != nullptr && (entry = readdir(fds)) != nullptr;) {
        const int fd = std::atoi(entry->d_name);
        if (fd != found && fd != dirfd(fds) && is_file(wanted, fd) == 0)
            copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    }
    if (fds != nullptr)
        closedir(fds);
    if (copy < 0)
        errno = ENXIO;
    return copy;
}

// Opens the output's path again for writing, where /proc cannot reopen what
// was found: the system follows its links again, and what it opens must be
// what was found. Not truncated, in case it is not.
int reopen_by_name(const output_target& out)
{
    struct stat found;
    if (fstat(fd_of(out.file), &found) != 0)
        return -1;
    const int fd = open(out.path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (fd >= 0 && is_file(found, fd) != 0) {
        close(fd);
        errno = ESTALE;
        return -1;
    }
    return fd;
}

// What the output's path names now: see open_output.
int look_up(const char* fname, output_target& out)
{
    // The system follows the links, with whatever protections it applies.
    const int found = open(fname, O_PATH | O_CLOEXEC);
    if (found < 0)
        return errno == ENOENT ? find_new_name(out) : failure();
    struct stat st;
    int error = fstat(found, &st) == 0 ? 0 : failure();
    if (error == 0 && S_ISDIR(st.st_mode))
        error = EISDIR;
    if (error == 0 && !S_ISREG(st.st_mode)) {
        // Opened for writing only once the input is read: a pipe's reader
        // must not see a writer before.
        out.kind = kOutputDevice;
        out.file = found;
        return 0;
    }
    out.kind = kOutputFile;
    if (error == 0)
        error = find_name(found, out);
    if (error == 0)
        error = open_for_writing(st, out);
    close(found);
    return error;
}

}  // namespace

int names_file(const output_target& out, int fd)
{
    struct stat named;
    if (fstatat(fd_of(out.folder), out.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0)
        return failure();
    return is_file(named, fd);
}

int open_output(const char* fname, output_target& out)
{
    out.path = fname;
    // Another run may rename its stamp over the output while it is looked up.
    int error = ESTALE;
    for (int attempt = 0; error == ESTALE && attempt < 100; ++attempt) {
        close_file(out.file);
        error = look_up(fname, out);
    }
    return error;
}

bool output_replaced(int error)
{
    return error == ESTALE;
}

int look_up_again(output_target& out)
{
    output_target now;
    int error = open_output(out.path.c_str(), now);
    struct stat was;
    struct stat is;
    if (error == 0 && (now.kind != kOutputFile || now.name != out.name || fstat(fd_of(out.folder), &was) != 0 ||
                       fstat(fd_of(now.folder), &is) != 0 || !same_file(was, is)))
        error = ESTALE;
    if (error == 0)
        std::swap(out, now);
    close_file(now.file);
    close_file(now.folder);
    return error;
}

int open_device(const output_target& out, native_handle& file)
{
    // The very device or pipe that was found, whatever its name leads to now.
    int fd = open(proc_name(fd_of(out.file)).path, O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOCTTY);
    if (fd < 0 && errno == ENOENT)
        fd = reopen_by_name(out);
    if (fd < 0 && errno == ENXIO)
        fd = held_socket(fd_of(out.file));
    if (fd < 0)
        return failure();
    file = fd;
    return 0;
}
