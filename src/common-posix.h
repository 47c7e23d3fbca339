// What the POSIX platform files share.
#ifndef XMLSTAMP_COMMON_POSIX_H_
#define XMLSTAMP_COMMON_POSIX_H_

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform.h"

inline int fd_of(native_handle file)
{
    return static_cast<int>(file);
}

// The last call's errno, never 0: a caller takes 0 for success.
inline int failure()
{
    return errno != 0 ? errno : EIO;
}

// Whether an error says that the file system does not do what was asked at
// all, as some answer a flush or a truncate, rather than that it failed.
inline bool not_done_here(int error)
{
    return error == EINVAL || error == ENOTSUP || error == EOPNOTSUPP || error == ENOSYS;
}

// Flushes what `fd` holds to disk; succeeds where its file system says that
// it does not flush such a file, as there is nothing more to be had there.
inline int flush_to_disk(int fd)
{
    if (fsync(fd) == 0)
        return 0;
    const int error = failure();
    return not_done_here(error) ? 0 : error;
}

// Whether two stats describe one file: the same device and inode.
inline bool same_file(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The name under /proc by which the system opens what `fd` refers to.
struct proc_name {
    char path[32];
    explicit proc_name(int fd)
    {
        std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    }
};

// 0 when the output's name, without following a link, leads to the file `fd`;
// ESTALE when it leads to another.
int names_file(const output_target& out, int fd);

// A named staging file, which a signal that ends the run removes first;
// and the same no longer, its name forgotten.
void remember_name(staging& stage);
void forget_name(staging& stage);

#endif  // XMLSTAMP_COMMON_POSIX_H_
