// What the POSIX platform files share.
#ifndef XMLSTAMP_COMMON_POSIX_H_
#define XMLSTAMP_COMMON_POSIX_H_

#include <sys/stat.h>

#include <cerrno>

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

// Whether two stats describe one file: the same device and inode.
inline bool same_file(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

#endif  // XMLSTAMP_COMMON_POSIX_H_
