#!/usr/bin/env python3
"""A FUSE file system that passes every call through to a plain folder but
one it leaves out, as the file systems where Windows and virtual machines
meet Linux do (shared folders, WSL's drives, network mounts):

    passthrough_fs.py FOLDER MOUNTPOINT LACKS

LACKS is one of the keys of LACKING. It runs in the foreground until the
mount point is unmounted. Needs fusepy (Debian's python3-fusepy).
"""
import errno
import os
import sys

try:
    from fusepy import FUSE, FuseOSError, Operations
except ImportError:  # imported for LACKING alone, by an interpreter without fusepy
    Operations = object

# What each file system leaves out: the calls that answer with an error, and
# those that answer success without doing anything (None).
LACKING = {
    "folder flush": {"fsyncdir": errno.EINVAL},
    "file flush": {"fsync": errno.EINVAL},
    "mapping": {},  # every file is opened for direct I/O, which cannot be mapped
    "rename": {"rename": errno.ENOSYS},
    "rename over a name": {},  # EEXIST where the new name is taken
    # A folder where this user may write but not modify: a share, a drop box.
    "rename refused": {"rename": errno.EACCES},
    "rename and delete refused": {"rename": errno.EACCES, "unlink": errno.EACCES},
    "truncate": {"truncate": errno.ENOSYS},
    "hard links": {"link": errno.EPERM},
    "chmod and chown refused": {"chmod": errno.EPERM, "chown": errno.EPERM},
    "chmod and chown ignored": {"chmod": None, "chown": None},
    "xattrs": dict.fromkeys(("getxattr", "setxattr", "listxattr", "removexattr"), errno.ENOTSUP),
    "nothing": {},
}

# The calls that take a path and pass it on as they are.
BY_PATH = {
    "readlink": os.readlink, "mknod": os.mknod, "mkdir": os.mkdir, "rmdir": os.rmdir, "unlink": os.unlink,
    "chmod": os.chmod, "chown": os.lchown,
    "utimens": lambda path, times=None: os.utime(path, ns=times, follow_symlinks=False),
    "getxattr": lambda path, name, position=0: os.getxattr(path, name, follow_symlinks=False),
    "setxattr": lambda path, name, value, options, position=0: os.setxattr(path, name, value, options,
                                                                           follow_symlinks=False),
    "listxattr": lambda path: os.listxattr(path, follow_symlinks=False),
    "removexattr": lambda path, name: os.removexattr(path, name, follow_symlinks=False),
    "readdir": lambda path, fh: [".", ".."] + os.listdir(path),
}


class Passthrough(Operations):
    use_ns = True

    def __init__(self, root, lacks):
        self.root = root
        self.lacks = lacks

    def __call__(self, op, path, *args):
        if op in LACKING[self.lacks]:
            if LACKING[self.lacks][op] is None:
                return 0
            raise FuseOSError(LACKING[self.lacks][op])
        try:
            if op in BY_PATH:
                return BY_PATH[op](self.real(path), *args)
            return getattr(self, op)(path, *args)
        except OSError as e:
            raise FuseOSError(e.errno) from e

    def real(self, path):
        return os.path.join(self.root, path.lstrip("/"))

    def getattr(self, path, fh=None):
        st = os.fstat(fh.fh) if fh else os.lstat(self.real(path))
        return {key: getattr(st, key + ("_ns" if key.endswith("time") else ""))
                for key in ("st_mode", "st_ino", "st_nlink", "st_uid", "st_gid", "st_size", "st_rdev", "st_atime",
                            "st_mtime", "st_ctime")}

    def truncate(self, path, length, fh=None):
        os.ftruncate(fh.fh, length) if fh else os.truncate(self.real(path), length)

    def symlink(self, target, source):
        os.symlink(source, self.real(target))

    def rename(self, old, new):
        if self.lacks == "rename over a name" and os.path.lexists(self.real(new)):
            raise FuseOSError(errno.EEXIST)
        os.rename(self.real(old), self.real(new))

    def link(self, target, source):
        os.link(self.real(source), self.real(target))

    def statfs(self, path):
        st = os.statvfs(self.real(path))
        return {key: getattr(st, key) for key in dir(st) if key.startswith("f_") and key != "f_fsid"}

    def opened(self, fi, fd):
        fi.fh = fd
        fi.direct_io = self.lacks == "mapping"
        return 0

    def open(self, path, fi):
        return self.opened(fi, os.open(self.real(path), fi.flags & ~os.O_CREAT))

    def create(self, path, mode, fi):
        # Read and written through one descriptor, whatever the caller asked.
        return self.opened(fi, os.open(self.real(path), (fi.flags & ~os.O_ACCMODE) | os.O_RDWR | os.O_CREAT, mode))

    def read(self, path, size, offset, fi):
        return os.pread(fi.fh, size, offset)

    def write(self, path, data, offset, fi):
        return os.pwrite(fi.fh, data, offset)

    def release(self, path, fi):
        os.close(fi.fh)
        return 0

    def fsync(self, path, datasync, fi):
        os.fsync(fi.fh)
        return 0


def main():
    root, mountpoint, lacks = sys.argv[1:]
    FUSE(Passthrough(os.path.realpath(root), lacks), mountpoint, raw_fi=True, foreground=True, nothreads=True,
         allow_other=True, default_permissions=True, fsname="passthrough",
         # Files are made and changed behind its back too; a name renamed over
         # goes at once, as on a file system without hidden names for open files.
         attr_timeout=0, entry_timeout=0, negative_timeout=0, hard_remove=True)


if __name__ == "__main__":
    main()
