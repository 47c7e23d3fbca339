/* The least that a durable stamp of a file without a marker must do, as a
 * yardstick for xmlstamp: copy the input inside the kernel into an unnamed
 * file beside the output, add up the staged bytes, append the trailer, flush
 * the file, link it under a temporary name, rename that over the output and
 * flush the folder. Nothing else: no look at the output, no identity, no
 * checks beyond the calls' results.
 *
 *   stamp_floor INPUT OUTPUT
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static unsigned char buffer[1 << 18];

int main(int argc, char** argv)
{
    if (argc != 3)
        return 2;
    const char* slash = strrchr(argv[2], '/');
    char folder[4096] = ".";
    if (slash != NULL)
        snprintf(folder, sizeof folder, "%.*s", (int)(slash - argv[2]) + (slash == argv[2]), argv[2]);
    const char* name = slash != NULL ? slash + 1 : argv[2];

    const int in = open(argv[1], O_RDONLY | O_CLOEXEC);
    const int dir = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int staged = dir < 0 ? -1 : openat(dir, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0644);
    if (in < 0 || staged < 0)
        return 1;
    ssize_t n;
    while ((n = copy_file_range(in, NULL, staged, NULL, (size_t)1 << 30, 0)) > 0) {
    }
    if (n < 0)
        return 1;

    uint32_t sum = '\r' + '\n';
    off_t size = 0;
    while ((n = pread(staged, buffer, sizeof buffer, size)) > 0) {
        for (ssize_t i = 0; i < n; ++i)
            sum += buffer[i];
        size += n;
    }
    char trailer[64];
    const int length = snprintf(trailer, sizeof trailer, "\r\n<!--CRC Config-->\r\n<CRC key='CheckNum' value='%u'>", sum);
    if (n < 0 || pwrite(staged, trailer, (size_t)length, size) != length || fsync(staged) != 0)
        return 1;

    char proc[32];
    char temporary[32];
    snprintf(proc, sizeof proc, "/proc/self/fd/%d", staged);
    snprintf(temporary, sizeof temporary, ".floor-%d.tmp", (int)getpid());
    if (linkat(AT_FDCWD, proc, dir, temporary, AT_SYMLINK_FOLLOW) != 0)
        return 1;
    if (renameat(dir, temporary, dir, name) != 0) {
        unlinkat(dir, temporary, 0);
        return 1;
    }
    return fsync(dir) == 0 ? 0 : 1;
}
