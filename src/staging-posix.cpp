// Staging the new bytes in a file of their own, giving it the old output's
// identity and putting it in the output's place.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common-posix.h"
#include "platform.h"

namespace {

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

// The path of the folder `fd` as /proc shows it, ending in a slash; empty
// without /proc.
std::string folder_path(int fd)
{
    char path[PATH_MAX];
    const ssize_t n = readlink(proc_name(fd).path, path, sizeof path);
    if (n <= 0 || static_cast<size_t>(n) == sizeof path)
        return std::string();
    return std::string(path, static_cast<size_t>(n)) + (path[n - 1] == '/' ? "" : "/");
}

}  // namespace

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
        close_file(stage.folder);
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
        close_file(stage.folder);
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

int discard_staging(staging& stage, std::string& left)
{
    close_file(stage.file);
    int error = 0;
    if (stage.name[0] != '\0') {
        if (unlinkat(fd_of(stage.folder), stage.name, 0) != 0 && errno != ENOENT) {
            error = failure();
            left = folder_path(fd_of(stage.folder)) + stage.name;
        }
        forget_name(stage);
    }
    close_file(stage.folder);
    stage.in_temp_folder = false;
    return error;
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
