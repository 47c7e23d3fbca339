// The few calls that differ between POSIX and Windows. Everything else in the
// tool is standard C++ and goes through these.
#ifndef XMLSTAMP_PLATFORM_H_
#define XMLSTAMP_PLATFORM_H_

#include <cstdio>
#include <string>

// The current working directory as the platform spells it, or false when it
// cannot be had (removed, or too long).
bool get_work_dir(std::string& dir);

// Waits for one key press without echo. When standard input is not a terminal
// it reads at most one byte, so a script never hangs on it.
void wait_for_key();

// Creates `path` for writing in binary mode, failing if anything already has
// that name (errno is EEXIST then). On POSIX its permission bits are `mode`
// less the umask; Windows has no such bits.
std::FILE* create_new_file(const char* path, unsigned mode);

// Flushes `file` through the C library and the operating system to the disk.
bool sync_file(std::FILE* file);

// True when `path` names something that exists and is not a regular file or a
// directory: a device or a pipe, which is written in place, not replaced.
bool is_device(const char* path);

// Turns `path`, when it is a symbolic link, into the path of the file the
// link leads to, which need not exist yet. False for a loop of links.
bool follow_links(std::string& path);

// A hint that the `size` bytes at `data`, not yet touched, will all be filled:
// backing them with large pages saves a page fault for every 4 KiB.
void expect_to_fill(void* data, size_t size);

// Renames `from` to `to`, replacing `to` when it exists.
bool replace_file(const char* from, const char* to);

#endif  // XMLSTAMP_PLATFORM_H_
