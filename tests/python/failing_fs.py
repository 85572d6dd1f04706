"""A read-only FUSE file system over a folder whose reads fail with EIO from a byte offset
on, in every file: `python failing_fs.py SOURCE MOUNTPOINT OFFSET`. Runs until SIGTERM,
then unmounts. Reads bypass the page cache, so each read of a program reaches it."""

import errno
import os
import sys

import fuse


class FailingFiles(fuse.Operations):
    def __init__(self, source: str, fail_from: int):
        self.source, self.fail_from = source, fail_from

    def _path(self, path: str) -> str:
        return os.path.join(self.source, path.lstrip("/"))

    def getattr(self, path, fh=None):
        st = os.lstat(self._path(path))
        keys = ("st_mode", "st_size", "st_nlink", "st_uid", "st_gid", "st_atime", "st_mtime", "st_ctime")
        return {key: getattr(st, key) for key in keys}

    def readdir(self, path, fh):
        return [".", "..", *os.listdir(self._path(path))]

    def read(self, path, size, offset, fh):
        if offset >= self.fail_from:
            raise fuse.FuseOSError(errno.EIO)
        with open(self._path(path), "rb") as file:
            file.seek(offset)
            return file.read(min(size, self.fail_from - offset))


if __name__ == "__main__":
    source, mountpoint, offset = sys.argv[1], sys.argv[2], int(sys.argv[3])
    fuse.FUSE(FailingFiles(source, offset), mountpoint, foreground=True, ro=True, direct_io=True, nothreads=True)
