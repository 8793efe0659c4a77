// The platform layer on POSIX systems, with Linux's in-kernel copies where present.
#include "platform_posix.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#ifdef __linux__
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#endif

namespace {

// Closes a descriptor without disturbing errno, which still describes the failure.
void close_keeping_errno(int fd) {
  const int saved = errno;
  close(fd);
  errno = saved;
}

// The errors by which the kernel says "this way of copying is not offered here",
// as opposed to a real failure of the data or the disk.
bool refused_here(int error) {
  return error == ENOSYS || error == EOPNOTSUPP || error == ENOTSUP || error == EXDEV ||
         error == EINVAL || error == ENOTTY || error == EBADF || error == EPERM;
}

enum class transfer_result { done, refused, failed };

transfer_result clone_whole_file(int from, int to) {
#ifdef FICLONE
  if (ioctl(to, FICLONE, from) == 0) return transfer_result::done;
  return refused_here(errno) ? transfer_result::refused : transfer_result::failed;
#else
  (void)from;
  (void)to;
  return transfer_result::refused;
#endif
}

// Runs one kernel copy call until end of file. Falling back is only allowed
// while nothing has been written yet.
template <typename copy_call>
transfer_result copy_in_kernel(copy_call copy_some) {
  bool copied_any = false;
  for (;;) {
    const ssize_t copied = copy_some();
    if (copied == 0) return transfer_result::done;
    if (copied > 0) {
      copied_any = true;
      continue;
    }
    if (errno == EINTR) continue;
    return !copied_any && refused_here(errno) ? transfer_result::refused : transfer_result::failed;
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
  transfer_result result = clone_whole_file(from, to);
#ifdef __linux__
  constexpr size_t chunk = size_t{1} << 30;
  if (result == transfer_result::refused) {
    result = copy_in_kernel([&] { return copy_file_range(from, nullptr, to, nullptr, chunk, 0); });
  }
  if (result == transfer_result::refused) {
    result = copy_in_kernel([&] { return sendfile(to, from, nullptr, chunk); });
  }
#endif
  if (result == transfer_result::refused) return copy_with_read_write(from, to);
  return result == transfer_result::done;
}

bool posix_platform::change_directory(const char* path) { return chdir(path) != -1; }

bool posix_platform::file_present(const char* path) {
  struct stat status;
  return stat(path, &status) == 0 && !S_ISDIR(status.st_mode);
}

void posix_platform::delete_file(const char* path) { unlink(path); }

bool posix_platform::create_hard_link(const char* link_name, const char* target) {
  // Follow a symbolic target, so the second name belongs to the program itself.
  return linkat(AT_FDCWD, target, AT_FDCWD, link_name, AT_SYMLINK_FOLLOW) == 0;
}

bool posix_platform::copy_file(const char* target, const char* link_name) {
  const int from = open(target, O_RDONLY | O_CLOEXEC);
  if (from < 0) return false;
  struct stat status;
  if (fstat(from, &status) != 0) {
    close_keeping_errno(from);
    return false;
  }
  if (S_ISDIR(status.st_mode)) {
    close(from);
    errno = EISDIR;
    return false;
  }
  // The target's permission bits keep a copied program executable; set-id
  // bits are left out, as the copy may have another owner.
  const int to = open(link_name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, status.st_mode & 0777);
  if (to < 0) {
    close_keeping_errno(from);
    return false;
  }
  const bool copied = copy_contents(from, to);
  int error = errno;
  close(from);
  // A write error may only show at close, on network file systems.
  const bool closed = close(to) == 0;
  if (copied && closed) return true;
  if (copied) error = errno;
  unlink(link_name);
  errno = error;
  return false;
}

platform::error_code posix_platform::last_error() { return static_cast<error_code>(errno); }

std::string posix_platform::error_text(error_code code) {
  std::string text = std::strerror(static_cast<int>(code));
  text += '\n';
  return text;
}

platform& native_platform() {
  static posix_platform instance;
  return instance;
}
