/* The least that a durable stamp of a file without a marker must do, as a
 * yardstick for xmlstamp: copy the input inside the kernel into an unnamed
 * file beside the output, add up the staged bytes through one view of them,
 * append the trailer, flush the file, link it under a temporary name, rename
 * that over the output and flush the folder. Nothing else: no look at the
 * output, no identity, no checks beyond the calls' results.
 *
 *   stamp_floor INPUT OUTPUT
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

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

    struct stat st;
    if (fstat(staged, &st) != 0)
        return 1;
    const off_t size = st.st_size;
    uint32_t sum = '\r' + '\n';
    if (size > 0) {
        const unsigned char* bytes = mmap(NULL, (size_t)size, PROT_READ, MAP_SHARED | MAP_POPULATE, staged, 0);
        if (bytes == MAP_FAILED)
            return 1;
        for (off_t i = 0; i < size; ++i)
            sum += bytes[i];
        munmap((void*)bytes, (size_t)size);
    }
    char trailer[64];
    const int length = snprintf(trailer, sizeof trailer, "\r\n<!--CRC Config-->\r\n<CRC key='CheckNum' value='%u'>", sum);
    if (pwrite(staged, trailer, (size_t)length, size) != length || fsync(staged) != 0)
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
