// Whether an old second name already is the copy a run would make of its
// target now, so that a rerun over a tree of copies writes nothing; and its
// replacement by a hard link made beside it, where hard links are allowed,
// or by a complete copy.
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#ifdef __linux__
#include <sys/xattr.h>
#endif
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "posix/posix_platform.h"

namespace {

// Whether a copy's modification time is its target's, as far as the copy's
// file system holds times: FAT keeps steps of 2 seconds, exFAT of 10 ms or of
// whole seconds, some rounding up and others down. A time so rounded is a
// whole number of 10 ms, and within 2 seconds of the target's either way.
bool same_time(const timespec& copy, const timespec& target) {
  if (copy.tv_sec == target.tv_sec && copy.tv_nsec == target.tv_nsec) return true;
  constexpr long long step = 10'000'000;
  constexpr long long most = 2'000'000'000;
  long long seconds = 0;
  if (__builtin_sub_overflow(copy.tv_sec, target.tv_sec, &seconds) || seconds < -3 || seconds > 3)
    return false;
  const long long apart = seconds * 1'000'000'000 + (copy.tv_nsec - target.tv_nsec);
  return copy.tv_nsec % step == 0 && apart >= -most && apart <= most;
}

// Whether the copy's permission bits count as wanted: they are, or its file
// system holds none (FAT, exFAT through FUSE). Told by setting wanted on the
// copy, which such a file system refuses or ignores: never its bytes. Where
// the bits take, the copy was not the target's twin: they are put back at
// once, and it is made again. A file that another name shares (a backup's
// hard link, say) is no copy of the tool's own, and is never tried; nor is
// one with a set-id bit, which no copy carries, and which the kernel may not
// let this user put back.
bool same_bits(int copy, const struct stat& made, mode_t wanted) {
  const mode_t held = made.st_mode & 07777;
  if (held == wanted) return true;
  if (made.st_nlink != 1 || (held & (S_ISUID | S_ISGID)) != 0) return false;
  if (fchmod(copy, wanted) != 0) return not_held_here(copy);
  struct stat after;
  const bool none_held = fstat(copy, &after) == 0 && (after.st_mode & 07777) == held;
  if (!none_held) fchmod(copy, held);
  return none_held;
}

// A copy never carries file capabilities, as it carries no set-id bits: an
// old one that does is not the copy. Unknown counts as carrying one.
bool carries_capability(int copy) {
#ifdef __linux__
  if (fgetxattr(copy, "security.capability", nullptr, 0) >= 0) return true;
  return errno != ENODATA && errno != ENOTSUP;
#else
  (void)copy;
  return false;
#endif
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
  // Only a regular file can be the copy: a device node there is never opened.
  struct stat named;
  if (lstat(link_name, &named) != 0 || !S_ISREG(named.st_mode)) return false;
  const int from = open(target, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (from < 0) return false;
  // The name itself, not what a symbolic link there leads to.
  const int copy = open(link_name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW);
  struct stat source;
  struct stat made;
  // What the copy carries over: the permission bits without set-id bits or
  // capabilities, the modification time, and the running user as owner. The
  // bits come last, as telling them may set them.
  const bool same = copy >= 0 && fstat(from, &source) == 0 && fstat(copy, &made) == 0 &&
                    S_ISREG(source.st_mode) && S_ISREG(made.st_mode) &&
                    made.st_size == source.st_size && same_time(made.st_mtim, source.st_mtim) &&
                    made.st_uid == geteuid() && contents_equal(from, copy) &&
                    !carries_capability(copy) && same_bits(copy, made, source.st_mode & 0777);
  if (copy >= 0) close(copy);
  close(from);
  return same;
}

namespace {

// The six letters or digits that end a temporary name beside an old name:
// from the process id at first, and counting up where such a name is taken.
char* name_letters() {
  static char letters[6] = {};
  if (letters[0] == '\0') {
    unsigned long mark = static_cast<unsigned long>(getpid()) * 64;
    for (size_t i = 6; i-- > 0; mark /= 36)
      letters[i] = "0123456789abcdefghijklmnopqrstuvwxyz"[mark % 36];
  }
  return letters;
}

void count_up(char* letters) {
  for (size_t i = 6; i-- > 0;) {
    const bool carry = letters[i] == 'z';
    letters[i] = carry ? '0' : letters[i] == '9' ? 'a' : static_cast<char>(letters[i] + 1);
    if (!carry) return;
  }
}

// Named as a copy's temporary file: link_name, the infix, and room for the
// six letters, which letters_at is set to. Put together by hand, as
// formatting would cost more than the link itself. Null, with errno set,
// where that passes the longest path.
char* name_beside(const char* link_name, char*& letters_at) {
  constexpr size_t infix = sizeof temporary_infix - 1;
  static char temporary[PATH_MAX];
  const size_t length = std::strlen(link_name);
  if (length + infix + 6 >= sizeof temporary) {
    errno = ENAMETOOLONG;
    return nullptr;
  }
  letters_at = std::copy_n(temporary_infix, infix, std::copy_n(link_name, length, temporary));
  letters_at[6] = '\0';
  return temporary;
}

// link_beside, inline here, as a relink makes one for every row.
inline char* link_beside_inline(const char* path, const char* link_name) {
  char* letters_at = nullptr;
  char* const temporary = name_beside(link_name, letters_at);
  if (temporary == nullptr) return nullptr;
  char* const letters = name_letters();
  // Each row's name is gone again before the next, so one name serves them
  // all, unless a killed run's leftover has it.
  for (int tries = 0;; ++tries) {
    std::memcpy(letters_at, letters, 6);
    if (linkat(AT_FDCWD, path, AT_FDCWD, temporary, AT_SYMLINK_FOLLOW) == 0) return temporary;
    if (errno != EEXIST || tries == 15) return nullptr;
    count_up(letters);
  }
}

}  // namespace

char* link_beside(const char* path, const char* link_name) {
  return link_beside_inline(path, link_name);
}

platform::replaced posix_platform::replace_by_hard_link(const char* link_name, const char* target) {
  // Mostly what same_file saw of the two, without another look. Any old
  // name that leads to no directory is replaced in the one rename, whatever
  // it is (a dangling link, a FIFO, a device node), so a failure never costs it.
  const bool seen = seen_.link_name == link_name && seen_.target == target;
  const bool apart = seen && seen_.apart;
  seen_.link_name = nullptr;
  if (!(seen && seen_.regular)) {
    struct stat file;
    struct stat old_name;
    if (stat(target, &file) != 0 || !S_ISREG(file.st_mode) || lstat(link_name, &old_name) != 0 ||
        leads_to_directory(link_name, old_name)) {
      return replaced::not_replaced;
    }
    seen_.target_shared = file.st_nlink > 1;
  }
  // A relink killed before its rename left a second name of the target
  // beside link_name. Only where the target has more than one name can there
  // be one, so a run over a tree of files of their own lists no directory.
  if (seen_.target_shared) remove_leftovers(link_name, target);
  char* const temporary = link_beside_inline(target, link_name);
  if (temporary == nullptr) return replaced::refused;
  if (rename_call_(temporary, link_name) != 0) {
    const int error = errno;
    unlink(temporary);
    errno = error;
    return replaced::not_replaced;
  }
  // Where both names were one file already, rename leaves both in place:
  // unless same_file just saw them apart, the temporary name goes.
  if (!apart) unlink(temporary);
  return replaced::done;
}
