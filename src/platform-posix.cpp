#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "platform.h"

namespace {

int fd_of(native_handle file)
{
    return static_cast<int>(file);
}

// The last call's errno, never 0: a caller takes 0 for success.
int failure()
{
    return errno != 0 ? errno : EIO;
}

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

// Everything up to the last '/': the folder a new file beside `path` goes in.
std::string folder_of(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Follows `path` through symbolic links to the name of the file they lead to,
// which need not exist yet.
int follow_links(std::string& path)
{
    char target[PATH_MAX];
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return 0;
        const ssize_t n = readlink(path.c_str(), target, sizeof target);
        if (n < 0)
            return failure();
        if (static_cast<size_t>(n) == sizeof target)
            return ENAMETOOLONG;
        const std::string next(target, static_cast<size_t>(n));
        const size_t slash = path.rfind('/');
        path = next[0] == '/' || slash == std::string::npos ? next : path.substr(0, slash + 1) + next;
    }
    return ELOOP;
}

// A name for a staging file that fits any folder, whatever the output is called.
void make_temp_name(char (&name)[32])
{
    static unsigned counter = 0;
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    const unsigned long mix = static_cast<unsigned long>(now.tv_nsec) ^ (static_cast<unsigned long>(getpid()) << 16);
    std::snprintf(name, sizeof name, ".xmlstamp-%08lx.tmp", (mix + 0x9e3779b9ul * ++counter) & 0xfffffffful);
}

// The named staging files of this run (the new bytes, and the old ones kept
// aside while the output is overwritten), which a signal must not leave behind.
staging* volatile named_files[2] = {};
const int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

void remove_and_end(int sig)
{
    for (staging* stage : named_files)
        if (stage != nullptr)
            unlinkat(fd_of(stage->folder), stage->name, 0);
    signal(sig, SIG_DFL);
    raise(sig);
}

void remember_name(staging& stage)
{
    static bool handlers_installed = false;
    staging* volatile* free_slot = nullptr;
    for (staging* volatile& slot : named_files) {
        if (slot == &stage)
            return;
        if (slot == nullptr && free_slot == nullptr)
            free_slot = &slot;
    }
    if (free_slot != nullptr)
        *free_slot = &stage;
    if (handlers_installed)
        return;
    struct sigaction action = {};
    action.sa_handler = remove_and_end;
    sigemptyset(&action.sa_mask);
    for (const int sig : kEndingSignals) {
        struct sigaction old;
        // A signal ignored by whoever started us stays ignored.
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
            sigaction(sig, &action, nullptr);
    }
    handlers_installed = true;
}

sigset_t ending_signals()
{
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : kEndingSignals)
        sigaddset(&set, sig);
    return set;
}

void forget_name(staging& stage)
{
    for (staging* volatile& slot : named_files)
        if (slot == &stage)
            slot = nullptr;
    stage.name[0] = '\0';
}

// Gives the file a name in its folder: an unnamed file gets a link, created
// only now that its content is complete.
int name_staging(staging& stage)
{
    char proc_path[64];
    std::snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", fd_of(stage.file));
    for (int attempt = 0; attempt < 100; ++attempt) {
        make_temp_name(stage.name);
        if (linkat(AT_FDCWD, proc_path, fd_of(stage.folder), stage.name, AT_SYMLINK_FOLLOW) == 0 ||
            linkat(fd_of(stage.file), "", fd_of(stage.folder), stage.name, AT_EMPTY_PATH) == 0)
            return 0;
        const int error = failure();
        stage.name[0] = '\0';
        if (error != EEXIST)
            return error;
    }
    return EEXIST;
}

// Renames the staged file over the output; a staging file that had no name
// before gets one only for this moment, when signals are held.
int rename_staging(staging& stage, const output_target& out)
{
    const bool unnamed = stage.name[0] == '\0';
    if (unnamed)
        hold_signals();
    int error = unnamed ? name_staging(stage) : 0;
    bool named = error == 0;
    if (named && renameat(fd_of(stage.folder), stage.name, AT_FDCWD, out.path.c_str()) == 0) {
        named = false;
    } else if (named) {
        error = failure();
        // Failing that, discard_staging tries again.
        named = unlinkat(fd_of(stage.folder), stage.name, 0) != 0;
    }
    if (named)
        remember_name(stage);
    else
        forget_name(stage);
    if (unnamed)
        release_signals();
    return error;
}

using name_list = std::vector<char>;

// The names of the extended attributes of `fd`, each ending in a zero byte.
int list_attributes(int fd, name_list& names)
{
    for (;;) {
        const ssize_t size = flistxattr(fd, nullptr, 0);
        if (size <= 0)
            return size == 0 || errno == ENOTSUP ? 0 : failure();
        names.resize(static_cast<size_t>(size));
        const ssize_t got = flistxattr(fd, names.data(), names.size());
        if (got >= 0) {
            names.resize(static_cast<size_t>(got));
            return 0;
        }
        if (errno != ERANGE)
            return failure();
    }
}

bool listed(const name_list& names, const char* name)
{
    for (const char* p = names.data(); p < names.data() + names.size(); p += std::strlen(p) + 1)
        if (std::strcmp(p, name) == 0)
            return true;
    return false;
}

// Makes the extended attributes of `to` those of `from`: they hold ACLs and
// security labels, and a folder's default ACL may have given `to` its own.
int copy_attributes(int from, int to)
{
    name_list old_names;
    name_list new_names;
    int error = list_attributes(from, old_names);
    if (error == 0)
        error = list_attributes(to, new_names);
    for (const char* p = new_names.data(); error == 0 && p < new_names.data() + new_names.size();
         p += std::strlen(p) + 1)
        if (!listed(old_names, p) && fremovexattr(to, p) != 0)
            error = failure();
    std::vector<char> value;
    for (const char* p = old_names.data(); error == 0 && p < old_names.data() + old_names.size();
         p += std::strlen(p) + 1) {
        const ssize_t size = fgetxattr(from, p, nullptr, 0);
        value.resize(static_cast<size_t>(std::max<ssize_t>(size, 1)));
        const ssize_t got = size < 0 ? -1 : fgetxattr(from, p, value.data(), value.size());
        if (got < 0 || fsetxattr(to, p, value.data(), static_cast<size_t>(got), 0) != 0)
            error = failure();
    }
    return error;
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
    // Linux gives at most a page; other systems may need more, but not without end.
    std::vector<char> buf;
    for (size_t size = PATH_MAX; size <= (size_t{1} << 20); size *= 2) {
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
    struct stat out;
    struct stat in;
    if (fstat(fd_of(old_output), &out) == 0 && fstat(fd_of(input), &in) == 0 &&
        (out.st_dev != in.st_dev || out.st_ino != in.st_ino))
        posix_fadvise(fd_of(old_output), 0, 0, POSIX_FADV_DONTNEED);
}

int write_at(native_handle file, uint64_t offset, const unsigned char* data, size_t size)
{
    return write_fully(fd_of(file), data, size, static_cast<off_t>(offset));
}

int set_file_size(native_handle file, uint64_t size)
{
    return ftruncate(fd_of(file), static_cast<off_t>(size)) == 0 ? 0 : failure();
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
    return fsync(fd_of(file)) == 0 ? 0 : failure();
}

void close_file(native_handle& file)
{
    if (file != kNoHandle)
        close(fd_of(file));
    file = kNoHandle;
}

const unsigned char* map_view(native_handle file, uint64_t offset, size_t size, int& error)
{
    void* view = mmap(nullptr, size, PROT_READ, MAP_SHARED | MAP_POPULATE, fd_of(file), static_cast<off_t>(offset));
    if (view != MAP_FAILED)
        return static_cast<const unsigned char*>(view);
    error = failure();
    return nullptr;
}

void unmap_view(const unsigned char* view, size_t size)
{
    munmap(const_cast<unsigned char*>(view), size);
}

int open_output(const char* fname, output_target& out)
{
    out.path = fname;
    if (const int error = follow_links(out.path))
        return error;
    struct stat st;
    if (stat(out.path.c_str(), &st) != 0) {
        out.kind = kOutputNew;
        return errno == ENOENT ? 0 : failure();
    }
    if (S_ISDIR(st.st_mode))
        return EISDIR;
    if (!S_ISREG(st.st_mode)) {
        out.kind = kOutputDevice;
        return 0;
    }
    out.kind = kOutputFile;
    // Writing is what the user must be allowed; reading lets a failed
    // overwrite in place put the old bytes back.
    int fd = open(out.path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW);
    if (fd < 0 && errno == EACCES)
        fd = open(out.path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW);
    if (fd < 0)
        return failure();
    out.file = fd;
    return 0;
}

int open_device(const char* path, native_handle& file)
{
    const int fd = open(path, O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return failure();
    file = fd;
    return 0;
}

int stage_beside(const output_target& out, staging& stage)
{
    mode_t mode = 0666;
    struct stat old;
    if (out.kind == kOutputFile) {
        if (fstat(fd_of(out.file), &old) != 0)
            return failure();
        mode = old.st_mode & 0777;
    }
    // A folder that cannot be read cannot be flushed after the rename.
    const int folder = open(folder_of(out.path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return failure();
    stage.folder = folder;
    // Unnamed until complete: a crash or kill -9 while writing leaves nothing.
    int fd = openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
    for (int attempt = 0; fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EEXIST) && attempt < 100;
         ++attempt) {
        make_temp_name(stage.name);
        remember_name(stage);
        fd = openat(folder, stage.name, O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, mode);
        if (fd < 0)
            forget_name(stage);
    }
    if (fd < 0) {
        const int error = failure();
        discard_staging(stage);
        return error;
    }
    stage.file = fd;
    return 0;
}

int stage_in_memory(staging& stage)
{
    const int fd = memfd_create("xmlstamp", MFD_CLOEXEC);
    if (fd < 0)
        return failure();
    stage.file = fd;
    stage.in_memory = true;
    return 0;
}

int carry_identity(const output_target& out, staging& stage)
{
    struct stat old;
    struct stat now;
    if (fstat(fd_of(out.file), &old) != 0 || fstat(fd_of(stage.file), &now) != 0)
        return failure();
    // The kernel knows who may give a file away: root always, a user only to
    // a group it belongs to.
    if ((old.st_uid != now.st_uid || old.st_gid != now.st_gid) &&
        fchown(fd_of(stage.file), old.st_uid, old.st_gid) != 0)
        return failure();
    if (const int error = copy_attributes(fd_of(out.file), fd_of(stage.file)))
        return error;
    // Last, because a change of owner clears set-id bits, and an ACL sets the
    // group bits; set-id bits come back only with the owner and group.
    return fchmod(fd_of(stage.file), old.st_mode & 07777) == 0 ? 0 : failure();
}

int commit_staging(staging& stage, const output_target& out)
{
    if (fsync(fd_of(stage.file)) != 0)
        return failure();
    if (const int error = rename_staging(stage, out))
        return error;
    // The rename itself is only on disk once the folder is.
    return fsync(fd_of(stage.folder)) == 0 ? 0 : failure();
}

void discard_staging(staging& stage)
{
    close_file(stage.file);
    if (stage.name[0] != '\0') {
        unlinkat(fd_of(stage.folder), stage.name, 0);
        forget_name(stage);
    }
    close_file(stage.folder);
    stage.in_memory = false;
}

bool in_place_may_work(int error)
{
    switch (error) {
    case EACCES:  // a folder this user may not write to
    case EPERM:   // a sticky folder, another user's file
    case EROFS:   // a writable file mounted into a read-only tree
    case EBUSY:   // the output is a mount point
    case EXDEV:   // ... of another file system
        return true;
    default:
        return false;
    }
}

void hold_signals()
{
    const sigset_t set = ending_signals();
    sigprocmask(SIG_BLOCK, &set, nullptr);
}

void release_signals()
{
    const sigset_t set = ending_signals();
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
}
