#!/usr/bin/python3
"""A FUSE file system that claims root owns all it holds, mounted as another user.

Usage: lying_fuse.py MOUNTPOINT OUTSIDE UID

It holds lib/bin/gdbserver, a program, and bin, a symbolic link to OUTSIDE.
The mount is made with the real user id UID (the effective one stays root, so
no setuid helper is needed), which the kernel records as the mounting user;
allow_other lets root look in, as sshfs users often allow. It goes into the
background once mounted, and ends when unmounted.
"""
import errno
import os
import stat
import sys

from fusepy import FUSE, FuseOSError, Operations


class Lying(Operations):
    def __init__(self, outside):
        self.files = {"/": None, "/lib": None, "/lib/bin": None,
                      "/lib/bin/gdbserver": b"another user's program\n", "/bin": outside}

    def getattr(self, path, fh=None):
        if path not in self.files:
            raise FuseOSError(errno.ENOENT)
        held = self.files[path]
        if held is None:
            mode, size = stat.S_IFDIR | 0o755, 0
        elif isinstance(held, str):
            mode, size = stat.S_IFLNK | 0o777, len(held)
        else:
            mode, size = stat.S_IFREG | 0o755, len(held)
        return {"st_mode": mode, "st_uid": 0, "st_gid": 0, "st_nlink": 1, "st_size": size}

    def readlink(self, path):
        return self.files[path]

    def readdir(self, path, fh):
        prefix = path.rstrip("/") + "/"
        return [".", ".."] + [name[len(prefix):] for name in self.files
                              if name.startswith(prefix) and "/" not in name[len(prefix):]
                              and name != prefix]

    def read(self, path, size, offset, fh):
        return self.files[path][offset:offset + size]


if __name__ == "__main__":
    mountpoint, outside, uid = sys.argv[1], sys.argv[2], int(sys.argv[3])
    os.setresgid(uid, 0, 0)
    os.setresuid(uid, 0, 0)
    FUSE(Lying(outside), mountpoint, foreground=False, allow_other=True)
