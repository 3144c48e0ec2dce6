# A case-insensitive file system, as vfat, exFAT, SMB shares and ext4 with
# casefold are: each name is looked up whatever its case, and keeps the
# spelling it was made with. It passes everything through to the folder
# BACKING, and counts the fsync calls that reach it in BACKING/../fsyncs.
#   /usr/bin/python3 casefold_fs.py BACKING MOUNTPOINT   (foreground; fusermount -u ends it)
import errno
import os
import sys

from fusepy import FUSE, FuseOSError, Operations


class CaseFolding(Operations):
    def __init__(self, backing):
        self.backing = backing
        self.fsyncs = os.path.join(os.path.dirname(backing), "fsyncs")

    # The backing path of `path`, each part spelt as the folder holds it.
    def real(self, path):
        real = self.backing
        for part in filter(None, path.split("/")):
            try:
                names = os.listdir(real)
            except OSError:
                names = []
            same = [n for n in names if n.casefold() == part.casefold()]
            real = os.path.join(real, part if part in names or not same else same[0])
        return real

    def __call__(self, op, path, *args):
        try:
            return super().__call__(op, path, *args)
        except OSError as error:
            raise FuseOSError(error.errno or errno.EIO)

    def getattr(self, path, fh=None):
        status = os.lstat(self.real(path))
        return {key: getattr(status, key) for key in (
            "st_mode", "st_nlink", "st_size", "st_uid", "st_gid", "st_atime", "st_mtime",
            "st_ctime", "st_blocks")}

    def readdir(self, path, fh):
        return [".", ".."] + os.listdir(self.real(path))

    def create(self, path, mode, fi=None):
        # fusepy asks with O_CREAT|O_EXCL (as the kernel does for a name it did not find).
        return os.open(self.real(path), os.O_RDWR | os.O_CREAT | os.O_EXCL, mode)

    def open(self, path, flags):
        return os.open(self.real(path), flags)

    def read(self, path, size, offset, fh):
        return os.pread(fh, size, offset)

    def write(self, path, data, offset, fh):
        return os.pwrite(fh, data, offset)

    def truncate(self, path, length, fh=None):
        os.truncate(fh if fh is not None else self.real(path), length)

    def fsync(self, path, datasync, fh):
        os.fsync(fh)
        with open(self.fsyncs, "a") as log:
            log.write(path + "\n")

    def release(self, path, fh):
        os.close(fh)

    def mkdir(self, path, mode):
        os.mkdir(self.real(path), mode)

    def unlink(self, path):
        os.unlink(self.real(path))

    def rmdir(self, path):
        os.rmdir(self.real(path))

    def rename(self, old, new):
        os.rename(self.real(old), self.real(new))

    def link(self, target, source):
        os.link(self.real(source), self.real(target))

    def chmod(self, path, mode):
        os.chmod(self.real(path), mode)

    def utimens(self, path, times=None):
        os.utime(self.real(path), times)

    def statfs(self, path):
        status = os.statvfs(self.real(path))
        return {key: getattr(status, key) for key in (
            "f_bavail", "f_bfree", "f_blocks", "f_bsize", "f_favail", "f_ffree", "f_files",
            "f_flag", "f_frsize", "f_namemax")}

    def getxattr(self, path, name, position=0):
        try:
            return os.getxattr(self.real(path), name)
        except OSError:
            raise FuseOSError(errno.ENODATA)

    def setxattr(self, path, name, value, options, position=0):
        os.setxattr(self.real(path), name, value, options)

    def removexattr(self, path, name):
        os.removexattr(self.real(path), name)

    def listxattr(self, path):
        return os.listxattr(self.real(path))


if __name__ == "__main__":
    FUSE(CaseFolding(os.path.realpath(sys.argv[1])), sys.argv[2], foreground=True)
