#!/usr/bin/python3
"""A FUSE file system that claims root (or CLAIMED) owns all it holds, mounted as another user.

Usage: lying_fuse.py MOUNTPOINT OUTSIDE UID [CLAIMED [UNDER]]

It holds UNDER/lib/bin/gdbserver, a program, and UNDER/bin, a symbolic link to
OUTSIDE, with the directories of UNDER (a relative path; none by default).
The mount is made with the real user id UID (the effective one stays root, so
no setuid helper is needed), which the kernel records as the mounting user;
allow_other lets root look in, as sshfs users often allow. It goes into the
background once mounted, and ends when unmounted.

Usage: lying_fuse.py --failing-copy MOUNTPOINT NAME SOURCE

holds NAME alone, mounted by root: a file with SOURCE's bytes, size, mode and
modification time, whose reads fail with EIO past its first 64 KiB.
"""
import errno
import os
import stat
import sys

from fusepy import FUSE, FuseOSError, Operations


class Lying(Operations):
    def __init__(self, outside, claimed, under):
        self.claimed = claimed
        self.files = {"/": None}
        base = ""
        for part in filter(None, under.split("/")):
            base += "/" + part
            self.files[base] = None
        self.files.update({base + "/lib": None, base + "/lib/bin": None,
                           base + "/lib/bin/gdbserver": b"another user's program\n",
                           base + "/bin": outside})

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
        return {"st_mode": mode, "st_uid": self.claimed, "st_gid": self.claimed, "st_nlink": 1, "st_size": size}

    def readlink(self, path):
        return self.files[path]

    def readdir(self, path, fh):
        prefix = path.rstrip("/") + "/"
        return [".", ".."] + [name[len(prefix):] for name in self.files
                              if name.startswith(prefix) and "/" not in name[len(prefix):]
                              and name != prefix]

    def read(self, path, size, offset, fh):
        return self.files[path][offset:offset + size]


class FailingCopy(Operations):
    def __init__(self, name, source):
        self.name = "/" + name
        with open(source, "rb") as f:
            self.data = f.read()
        self.status = os.stat(source)

    def getattr(self, path, fh=None):
        if path == "/":
            return {"st_mode": stat.S_IFDIR | 0o755, "st_nlink": 2}
        if path != self.name:
            raise FuseOSError(errno.ENOENT)
        return {"st_mode": stat.S_IFREG | (self.status.st_mode & 0o777), "st_nlink": 1,
                "st_size": len(self.data), "st_mtime": self.status.st_mtime,
                "st_atime": self.status.st_atime, "st_ctime": self.status.st_mtime}

    def readdir(self, path, fh):
        return [".", "..", self.name[1:]]

    def read(self, path, size, offset, fh):
        if offset + size > 1 << 16:
            raise FuseOSError(errno.EIO)
        return self.data[offset:offset + size]


if __name__ == "__main__" and sys.argv[1] == "--failing-copy":
    # direct_io hands each read on as the program asked for it.
    FUSE(FailingCopy(sys.argv[3], sys.argv[4]), sys.argv[2], foreground=False, allow_other=True,
         direct_io=True)
elif __name__ == "__main__":
    mountpoint, outside, uid = sys.argv[1], sys.argv[2], int(sys.argv[3])
    claimed = int(sys.argv[4]) if len(sys.argv) > 4 else 0
    under = sys.argv[5] if len(sys.argv) > 5 else ""
    os.setresgid(uid, 0, 0)
    os.setresuid(uid, 0, 0)
    FUSE(Lying(outside, claimed, under), mountpoint, foreground=False, allow_other=True)
