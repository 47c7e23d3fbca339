// Finding the output, staging its new bytes and putting them in its place,
// and the signals that must not leave a staging file behind.
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common-posix.h"
#include "platform.h"

namespace {

// The name under /proc by which the system opens what `fd` refers to.
struct proc_name {
    char path[32];
    explicit proc_name(int fd)
    {
        std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    }
};

// 0 when `fd` refers to the file `st` describes (the same device and inode),
// ESTALE when it refers to another.
int is_file(const struct stat& st, int fd)
{
    struct stat opened;
    if (fstat(fd, &opened) != 0)
        return failure();
    return same_file(opened, st) ? 0 : ESTALE;
}

// 0 when the output's name, without following a link, leads to the file `fd`.
int names_file(const output_target& out, int fd)
{
    struct stat named;
    if (fstatat(fd_of(out.folder), out.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0)
        return failure();
    return is_file(named, fd);
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

// A name for a staging file that fits any folder, whatever the output is called.
void make_temp_name(char (&name)[kNameSize])
{
    static unsigned counter = 0;
    // The kernel's random bits cost one call; the clock's would cost the
    // first page faults of the vDSO, which take longer in a virtual machine.
    unsigned long mix = 0;
    (void)!getrandom(&mix, sizeof mix, GRND_NONBLOCK);
    mix ^= static_cast<unsigned long>(getpid()) << 16;
    std::snprintf(name, sizeof name, ".xmlstamp-%08lx.tmp", (mix + 0x9e3779b9ul * ++counter) & 0xfffffffful);
}

// The named staging files of this run (the new bytes, and the old ones kept
// aside while the output is overwritten), which a signal must not leave behind.
staging* volatile named_files[2] = {};

// The signals that end a process unless it catches them, but SIGKILL and
// SIGSTOP, which cannot be caught.
sigset_t ending_signals()
{
    sigset_t set;
    sigemptyset(&set);
    for (const int sig :
         {SIGHUP,  SIGINT,  SIGQUIT, SIGILL,    SIGTRAP, SIGABRT, SIGBUS,    SIGFPE,  SIGUSR1, SIGSEGV, SIGUSR2,
          SIGPIPE, SIGALRM, SIGTERM, SIGSTKFLT, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO,   SIGPWR,  SIGSYS})
        sigaddset(&set, sig);
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig)
        sigaddset(&set, sig);
    return set;
}

// Removes the named staging files, then ends the run by the same signal, as
// it would have ended without this handler.
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
    // One handler at a time: a second signal waits until the first has
    // removed the files and ended the run.
    action.sa_mask = ending_signals();
    for (int sig = 1; sig < NSIG; ++sig) {
        struct sigaction old;
        // A signal ignored by whoever started us stays ignored.
        if (sigismember(&action.sa_mask, sig) == 1 && sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
            sigaction(sig, &action, nullptr);
    }
    handlers_installed = true;
}

void forget_name(staging& stage)
{
    for (staging* volatile& slot : named_files)
        if (slot == &stage)
            slot = nullptr;
    stage.name[0] = '\0';
}

// Gives the file a name in its folder: an unnamed file gets a link, created
// only now that its content is complete. Through /proc, or without it where
// this user may link any file it holds; EOPNOTSUPP where neither can be had.
int name_staging(staging& stage)
{
    const proc_name file(fd_of(stage.file));
    for (int attempt = 0; attempt < 100; ++attempt) {
        make_temp_name(stage.name);
        if (linkat(AT_FDCWD, file.path, fd_of(stage.folder), stage.name, AT_SYMLINK_FOLLOW) == 0 ||
            linkat(fd_of(stage.file), "", fd_of(stage.folder), stage.name, AT_EMPTY_PATH) == 0)
            return 0;
        const int error = failure();
        stage.name[0] = '\0';
        if (error != EEXIST)
            return error == ENOENT ? EOPNOTSUPP : error;
    }
    return EEXIST;
}

// Renames the staged file over the output, if the output's name still leads
// to the file that was opened; a staging file that had no name before gets
// one only for this moment, when signals are held.
int rename_staging(staging& stage, const output_target& out)
{
    const bool unnamed = stage.name[0] == '\0';
    if (unnamed)
        hold_signals();
    int error = unnamed ? name_staging(stage) : 0;
    if (error == 0 && out.kind == kOutputFile)
        error = names_file(out, fd_of(out.file));
    if (error == 0 && renameat(fd_of(stage.folder), stage.name, fd_of(out.folder), out.name.c_str()) != 0)
        error = failure();
    // Renamed, the name is the output's. A name given for this moment only
    // goes again, or else discard_staging tries; one the file had from the
    // start stays until discard_staging has closed the file, as some file
    // systems lose an open file with its last name.
    const bool named = stage.name[0] != '\0';
    if (error == 0 || (unnamed && named && unlinkat(fd_of(stage.folder), stage.name, 0) == 0))
        forget_name(stage);
    else if (named)
        remember_name(stage);
    if (unnamed)
        release_signals();
    return error;
}

using name_list = std::vector<char>;

// The names of the extended attributes of `fd` that its file system lists,
// each ending in a zero byte.
int listed_attributes(int fd, name_list& names)
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

// The names of all the extended attributes of `fd`. Some file systems
// (ntfs-3g) keep ACLs without listing them; those are asked for by name.
int list_attributes(int fd, name_list& names)
{
    if (const int error = listed_attributes(fd, names))
        return error;
    for (const char* acl : {"system.posix_acl_access", "system.posix_acl_default"})
        if (!listed(names, acl) && fgetxattr(fd, acl, nullptr, 0) >= 0)
            names.insert(names.end(), acl, acl + std::strlen(acl) + 1);
    return 0;
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

// Opens the output's folder to hold a staging file: for reading, so that it
// can be flushed once the file has its name there; as a place only where this
// user may write and enter it but not read it.
int open_staging_folder(const output_target& out, staging& stage)
{
    int folder = openat(fd_of(out.folder), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0 && errno == EACCES)
        folder = fcntl(fd_of(out.folder), F_DUPFD_CLOEXEC, 0);
    if (folder < 0)
        return failure();
    stage.folder = folder;
    return 0;
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

int stage_beside(const output_target& out, staging& stage)
{
    if (const int error = open_staging_folder(out, stage))
        return error;
    const int folder = fd_of(stage.folder);
    // Open to this user only until it has the old output's owner, group and
    // attributes; a new output gets what any new file gets.
    const mode_t mode = out.kind == kOutputFile ? 0600 : 0666;
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

int stage_in_temp_folder(staging& stage)
{
    const char* folder = std::getenv("TMPDIR");
    int fd = open(folder != nullptr && *folder != '\0' ? folder : "/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0)
        fd = memfd_create("xmlstamp", MFD_CLOEXEC);
    if (fd < 0)
        return failure();
    stage.file = fd;
    stage.in_temp_folder = true;
    return 0;
}

int stage_as_output(const output_target& out, staging& stage)
{
    if (out.name.size() >= sizeof stage.name)
        return ENAMETOOLONG;
    if (const int error = open_staging_folder(out, stage))
        return error;
    // Known to the signal handlers before it exists, and forgotten at once if
    // the name turns out to be another's: held, so that none runs between.
    hold_signals();
    std::snprintf(stage.name, sizeof stage.name, "%s", out.name.c_str());
    remember_name(stage);
    const int fd = openat(fd_of(stage.folder), stage.name, O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC | O_NOCTTY, 0666);
    const int error = fd < 0 ? failure() : 0;
    if (fd < 0)
        forget_name(stage);
    release_signals();
    if (error != 0)
        discard_staging(stage);
    stage.file = fd < 0 ? kNoHandle : fd;
    return error;
}

int keep_staging(staging& stage)
{
    forget_name(stage);
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
    if (fchmod(fd_of(stage.file), old.st_mode & 07777) != 0 || fstat(fd_of(stage.file), &now) != 0)
        return failure();
    // Some file systems take a change of owner or mode without keeping it.
    const bool kept = now.st_uid == old.st_uid && now.st_gid == old.st_gid && now.st_mode == old.st_mode;
    return kept ? 0 : EPERM;
}

int commit_staging(staging& stage, const output_target& out)
{
    if (const int error = sync_file(stage.file))
        return error;
    return rename_staging(stage, out);
}

int sync_folder(const staging& stage)
{
    const int flags = fcntl(fd_of(stage.folder), F_GETFL);
    if (flags >= 0 && (flags & O_PATH) != 0)
        return 0;  // held as a place only, for want of the right to read it
    return flush_to_disk(fd_of(stage.folder));
}

void discard_staging(staging& stage)
{
    close_file(stage.file);
    if (stage.name[0] != '\0') {
        unlinkat(fd_of(stage.folder), stage.name, 0);
        forget_name(stage);
    }
    close_file(stage.folder);
    stage.in_temp_folder = false;
}

bool in_place_may_work(int error)
{
    switch (error) {
    case EACCES:      // a folder this user may not write to
    case EPERM:       // a sticky folder, another user's file
    case EROFS:       // a writable file mounted into a read-only tree
    case EBUSY:       // the output is a mount point
    case EXDEV:       // ... of another file system
    case ENOSYS:      // a file system without renames
    case EOPNOTSUPP:  // ... or without names for unnamed files
    case EEXIST:      // one that renames only to a name not taken
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
