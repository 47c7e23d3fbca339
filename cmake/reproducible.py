#!/usr/bin/env python3
"""Makes what cpack packs, and the archives it packs, the same bytes wherever
and whenever they are built, by whichever user, under whichever umask and
time zone.

    reproducible.py stage FOLDER EPOCH     every file and folder under FOLDER
                                           gets the mode 0755 or 0644 and the
                                           time EPOCH (seconds since 1970)
    reproducible.py archive FILE EPOCH     writes FILE (.tar.gz or .zip) again:
                                           its members sorted by name, owned by
                                           root, with those modes and that time,
                                           and nothing of the build's own in
                                           the compressed headers; of a .deb,
                                           only the modes and times of its
                                           three members
"""
import gzip
import os
import stat
import sys
import tarfile
import time
import zipfile


def mode(old):
    """0755 for a folder or what its owner may run, 0644 for the rest."""
    return 0o755 if stat.S_ISDIR(old) or old & stat.S_IXUSR else 0o644


def stage(folder, epoch):
    for root, folders, files in os.walk(folder):
        for name in folders + files:
            path = os.path.join(root, name)
            status = os.lstat(path)
            if not stat.S_ISLNK(status.st_mode):
                os.chmod(path, mode(status.st_mode))
            os.utime(path, (epoch, epoch), follow_symlinks=False)


def rewrite_tar(source, target, epoch):
    with tarfile.open(source) as old:
        # The gzip header keeps no name and no time.
        with gzip.GzipFile(filename="", mode="wb", fileobj=target, compresslevel=9, mtime=0) as packed:
            with tarfile.open(fileobj=packed, mode="w", format=tarfile.GNU_FORMAT) as new:
                for member in sorted(old.getmembers(), key=lambda member: member.name):
                    member.uid = member.gid = 0
                    member.uname = member.gname = "root"
                    member.mtime = epoch
                    if not member.issym():
                        member.mode = mode(member.mode | (stat.S_IFDIR if member.isdir() else 0))
                    new.addfile(member, old.extractfile(member) if member.isfile() else None)


def rewrite_zip(source, target, epoch):
    # A zip member's time is a local time: this one is UTC's, and there are
    # no extra fields with other times or with owners.
    when = time.gmtime(epoch)[:6]
    with zipfile.ZipFile(source) as old, zipfile.ZipFile(target, "w") as new:
        for member in sorted(old.infolist(), key=lambda member: member.filename):
            folder = member.is_dir()
            kind = stat.S_IFDIR if folder else stat.S_IFREG
            entry = zipfile.ZipInfo(member.filename, date_time=when)
            entry.create_system = 3  # Unix: the external attributes carry the mode
            entry.external_attr = (kind | mode(kind | member.external_attr >> 16)) << 16 | (0x10 if folder else 0)
            entry.compress_type = zipfile.ZIP_STORED if folder else zipfile.ZIP_DEFLATED
            new.writestr(entry, b"" if folder else old.read(member), compresslevel=9)


def rewrite_deb(source, target, epoch):
    # An ar archive, whose members cpack creates under the umask; the rest of
    # the .deb is made so already.
    with open(source, "rb") as old:
        data = old.read()
    if not data.startswith(b"!<arch>\n"):
        sys.exit("reproducible.py: %s is not an ar archive" % source)
    target.write(data[:8])
    at = 8
    while at < len(data):
        header = bytearray(data[at:at + 60])
        size = int(header[48:58])
        header[16:28] = b"%-12d" % epoch
        header[40:48] = b"%-8o" % 0o100644
        target.write(header + data[at + 60:at + 60 + size + size % 2])
        at += 60 + size + size % 2


def archive(path, epoch):
    kinds = {".tar.gz": rewrite_tar, ".zip": rewrite_zip, ".deb": rewrite_deb}
    rewrite = next((rewrite for suffix, rewrite in kinds.items() if path.endswith(suffix)), None)
    if not rewrite:
        sys.exit("reproducible.py: %s is not a .tar.gz, a .zip or a .deb" % path)
    partial = path + ".partial"
    try:
        with open(partial, "wb") as target:
            rewrite(path, target, epoch)
        os.replace(partial, path)
    finally:
        if os.path.exists(partial):
            os.remove(partial)


if __name__ == "__main__":
    if len(sys.argv) != 4 or sys.argv[1] not in ("stage", "archive") or not sys.argv[3].isdigit():
        sys.exit(__doc__)
    {"stage": stage, "archive": archive}[sys.argv[1]](sys.argv[2], int(sys.argv[3]))
