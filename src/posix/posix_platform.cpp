// The POSIX platform's small calls: the directory change, the tree lock, the
// probes, delete and hard link, the error texts and the messages' bytes.
#include "posix/posix_platform.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

bool posix_platform::change_directory(const char* path) {
  seen_ = {};
  if (tree_root_ >= 0) close(tree_root_);
  tree_root_ = -1;
  tree_locked_ = false;
  if (chdir(path) == -1) return false;
  // The tree's root directory itself carries the lock, so no lock file is
  // left in the tree, and the system lets go of it when its holder dies. It
  // is opened here, with the caller's rights, before a root run becomes the
  // tree's owner, who may not be able to read it.
  tree_root_ = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  tree_root_error_ = errno;
  return true;
}

platform::lock_result posix_platform::lock_tree(unsigned milliseconds) {
  if (tree_root_ < 0) {
    errno = tree_root_error_;
    return lock_result::failed;
  }
  // flock has no time limit of its own: ask often, and give up when told.
  constexpr unsigned step = 10;
  for (unsigned waited = 0;; waited += step) {
    if (flock(tree_root_, LOCK_EX | LOCK_NB) == 0) {
      tree_locked_ = true;
      return lock_result::go_on;
    }
    // A file system that offers no lock (ENOLCK, EOPNOTSUPP): runs go on
    // unordered there, as they always could.
    if (errno != EWOULDBLOCK && errno != EINTR) return lock_result::go_on;
    if (waited >= milliseconds) return lock_result::busy;
    const timespec pause{0, step * 1000000L};
    nanosleep(&pause, nullptr);
  }
}

bool posix_platform::file_present(const char* path) {
  struct stat status;
  return stat(path, &status) == 0 && !S_ISDIR(status.st_mode);
}

bool posix_platform::regular_file(const char* path) {
  struct stat status;
  return stat(path, &status) == 0 && S_ISREG(status.st_mode);
}

bool posix_platform::same_file(const char* link_name, const char* target) {
  struct stat name;
  struct stat file;
  const bool both = fstatat(AT_FDCWD, link_name, &name, 0) == 0 &&
                    fstatat(AT_FDCWD, target, &file, 0) == 0;
  const bool same = both && name.st_dev == file.st_dev && name.st_ino == file.st_ino;
  if (same) return true;
  seen_ = {link_name, target, both && S_ISREG(name.st_mode) && S_ISREG(file.st_mode), both,
           both && file.st_nlink > 1};
  return false;
}

bool posix_platform::delete_file(const char* path) {
  // A link to a directory is kept as a directory is: a target's own path may
  // pass through it.
  struct stat status;
  if (lstat(path, &status) != 0) return errno == ENOENT || errno == ENOTDIR;
  if (leads_to_directory(path, status)) {
    errno = EISDIR;
    return false;
  }
  return unlink(path) == 0 || errno == ENOENT;
}

bool leads_to_directory(const char* path, const struct stat& status) {
  struct stat followed;
  return S_ISDIR(status.st_mode) ||
         (S_ISLNK(status.st_mode) && stat(path, &followed) == 0 && S_ISDIR(followed.st_mode));
}

bool posix_platform::create_hard_link(const char* link_name, const char* target) {
  // A FIFO, socket or device is refused as the copy refuses it; a directory
  // is left to the system's own refusal.
  struct stat status;
  if (stat(target, &status) == 0 && !S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode)) {
    errno = static_cast<int>(not_regular_file);
    return false;
  }
  // Follow a symbolic target, so the second name belongs to the program itself.
  return linkat(AT_FDCWD, target, AT_FDCWD, link_name, AT_SYMLINK_FOLLOW) == 0;
}

platform::error_code posix_platform::last_error() { return static_cast<error_code>(errno); }

std::string posix_platform::error_text(error_code code) {
  if (code == not_regular_file) return "Not a regular file\n";
  if (code == copy_incomplete) return "Copy does not match the size of the file\n";
  if (code == writable_by_others) return "A directory on the way is writable by another user\n";
  if (code == owned_by_others) return "A directory or link on the way belongs to another user\n";
  std::string text = std::strerror(static_cast<int>(code));
  text += '\n';
  return text;
}

platform& native_platform() {
  static posix_platform instance;
  return instance;
}

bool asks_for_help(const char* argument) {
  return std::strcmp(argument, "--help") == 0 || std::strcmp(argument, "-h") == 0;
}

void write_text(std::FILE* stream, std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stream);
}

bool text_delivered(std::FILE* stream) { return std::fflush(stream) == 0 && !std::ferror(stream); }
