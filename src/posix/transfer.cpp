// Moving a file's bytes into its copy: in the kernel where it can (a clone of
// the extents, copy_file_range, sendfile), with reads and writes only where
// those are refused; and which refusals mean "not here" rather than a failure.
// Kept apart from naming the copy, which is copy.cpp's.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

#include "posix/posix_platform.h"

#ifdef __linux__
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#endif

bool refused_here(int error) {
  return error == ENOSYS || error == EOPNOTSUPP || error == ENOTSUP || error == EXDEV ||
         error == EINVAL || error == ENOTTY || error == EBADF || error == EPERM;
}

// Permission bits and times that the file system cannot hold (FAT answers
// ENOSYS; one without owners answers EPERM even to the file's creator) do
// not make the copy any less the target's twin.
bool not_held_here(int file) {
  const int error = errno;
  if (error == ENOSYS || error == EOPNOTSUPP || error == ENOTSUP) return true;
  struct stat status;
  const bool ownerless = error == EPERM && fstat(file, &status) == 0 && status.st_uid != geteuid();
  errno = error;
  return ownerless;
}

namespace {

copy_outcome clone_whole_file(int from, int to) {
#ifdef FICLONE
  if (ioctl(to, FICLONE, from) == 0) return copy_outcome::done;
  return refused_here(errno) ? copy_outcome::refused : copy_outcome::failed;
#else
  (void)from;
  (void)to;
  return copy_outcome::refused;
#endif
}

// Runs one kernel copy call until end of file. Falling back is only allowed
// while nothing has been written yet; so is an end before the first byte,
// which some file systems answer for files whose size they report as 0.
template <typename copy_call>
copy_outcome copy_in_kernel(copy_call copy_some) {
  bool copied_any = false;
  for (;;) {
    const ssize_t copied = copy_some();
    if (copied == 0) return copied_any ? copy_outcome::done : copy_outcome::refused;
    if (copied > 0) {
      copied_any = true;
      continue;
    }
    if (errno == EINTR) continue;
    return !copied_any && refused_here(errno) ? copy_outcome::refused : copy_outcome::failed;
  }
}

bool copy_with_read_write(int from, int to) {
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t got = read(from, buffer, sizeof buffer);
    if (got == 0) return true;
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    for (ssize_t written = 0; written < got;) {
      const ssize_t put = write(to, buffer + written, static_cast<size_t>(got - written));
      if (put < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      written += put;
    }
  }
}

}  // namespace

bool posix_platform::copy_contents(int from, int to) {
  copy_outcome result = clone_whole_file(from, to);
#ifdef __linux__
  constexpr size_t chunk = size_t{1} << 30;
  if (result == copy_outcome::refused) {
    result = copy_in_kernel([&] { return copy_file_range(from, nullptr, to, nullptr, chunk, 0); });
  }
  if (result == copy_outcome::refused) {
    result = copy_in_kernel([&] { return sendfile(to, from, nullptr, chunk); });
  }
#endif
  if (result == copy_outcome::refused) return copy_with_read_write(from, to);
  return result == copy_outcome::done;
}
