// What the POSIX platform files share.
#ifndef XMLSTAMP_COMMON_POSIX_H_
#define XMLSTAMP_COMMON_POSIX_H_

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

#endif  // XMLSTAMP_COMMON_POSIX_H_
