// Whether an old second name already is the copy a run would make of its
// target now, so that a rerun over a tree of copies writes nothing; and
// whether a hard link could take its place instead, asked beside it.
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "posix/posix_platform.h"

namespace {

bool same_time(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

ssize_t posix_platform::read_block(int file, char* buffer, size_t size) {
  size_t got = 0;
  while (got < size) {
    const ssize_t some = read(file, buffer + got, size - got);
    if (some < 0 && errno == EINTR) continue;
    if (some < 0) return -1;
    if (some == 0) break;
    got += static_cast<size_t>(some);
  }
  return static_cast<ssize_t>(got);
}

bool posix_platform::contents_equal(int from, int copy) {
  // Both files once, a block at a time, whatever their size.
  static char ours[1 << 16];
  static char theirs[sizeof ours];
  for (;;) {
    const ssize_t got = read_block(from, ours, sizeof ours);
    if (got < 0 || read_block(copy, theirs, sizeof theirs) != got) return false;
    if (got == 0) return true;
    if (std::memcmp(ours, theirs, static_cast<size_t>(got)) != 0) return false;
  }
}

bool posix_platform::same_copy(const char* target, const char* link_name) {
  const int from = open(target, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (from < 0) return false;
  // The name itself, not what a symbolic link there leads to.
  const int copy = open(link_name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW);
  struct stat source;
  struct stat made;
  // What the copy carries over: the permission bits without set-id bits, the
  // modification time, and the running user as owner.
  const bool same = copy >= 0 && fstat(from, &source) == 0 && fstat(copy, &made) == 0 &&
                    S_ISREG(source.st_mode) && S_ISREG(made.st_mode) &&
                    made.st_size == source.st_size &&
                    (made.st_mode & 07777) == (source.st_mode & 0777) &&
                    same_time(made.st_mtim, source.st_mtim) && made.st_uid == geteuid() &&
                    contents_equal(from, copy);
  if (copy >= 0) close(copy);
  close(from);
  return same;
}

bool posix_platform::hard_link_allowed_beside(const char* link_name, const char* target) {
  // Named as a copy's temporary file, so that a run killed before it is
  // removed leaves nothing that the next sweep would not take.
  static unsigned attempt = 0;
  char name[PATH_MAX];
  for (int tries = 0; tries < 16; ++tries) {
    unsigned long mark = static_cast<unsigned long>(getpid()) * 64 + ++attempt;
    char letters[7] = "";
    for (size_t i = 0; i < 6; ++i, mark /= 36)
      letters[i] = "0123456789abcdefghijklmnopqrstuvwxyz"[mark % 36];
    if (std::snprintf(name, sizeof name, "%s%s%s", link_name, temporary_infix, letters) >=
        static_cast<int>(sizeof name)) {
      errno = ENAMETOOLONG;
      return false;
    }
    if (linkat(AT_FDCWD, target, AT_FDCWD, name, AT_SYMLINK_FOLLOW) == 0) {
      unlink(name);
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}
