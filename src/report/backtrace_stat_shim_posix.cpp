// fstat and lstat for the statically linked libbacktrace, made from statx. The C
// library's own fstat and lstat symbols date from its version 2.33 and would raise
// the oldest C library the module loads on from 2.28 (statx) to 2.33; the link
// routes the archive's calls here with --wrap.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace {

int stat_from_statx(int directory, const char* path, int flags, struct stat* out) noexcept {
  struct statx info;
  if (::statx(directory, path, flags, STATX_BASIC_STATS, &info) != 0) return -1;
  *out = {};
  out->st_dev = makedev(info.stx_dev_major, info.stx_dev_minor);
  out->st_ino = info.stx_ino;
  out->st_mode = info.stx_mode;
  out->st_nlink = info.stx_nlink;
  out->st_uid = info.stx_uid;
  out->st_gid = info.stx_gid;
  out->st_rdev = makedev(info.stx_rdev_major, info.stx_rdev_minor);
  out->st_size = static_cast<off_t>(info.stx_size);
  out->st_blksize = static_cast<blksize_t>(info.stx_blksize);
  out->st_blocks = static_cast<blkcnt_t>(info.stx_blocks);
  out->st_atim = {info.stx_atime.tv_sec, info.stx_atime.tv_nsec};
  out->st_mtim = {info.stx_mtime.tv_sec, info.stx_mtime.tv_nsec};
  out->st_ctim = {info.stx_ctime.tv_sec, info.stx_ctime.tv_nsec};
  return 0;
}

}  // namespace

extern "C" int __wrap_fstat(int fd, struct stat* out) {
  return stat_from_statx(fd, "", AT_EMPTY_PATH, out);
}

extern "C" int __wrap_lstat(const char* path, struct stat* out) {
  return stat_from_statx(AT_FDCWD, path, AT_SYMLINK_NOFOLLOW, out);
}
