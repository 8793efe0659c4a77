// The copy that stands in for a refused hard link: made where no name leads
// to it, flushed, and only then named, never taking another file's name.
// The bytes themselves are moved by transfer.cpp.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "posix/posix_platform.h"

namespace {

// Closes a descriptor without disturbing errno, which still describes the failure.
void close_keeping_errno(int fd) {
  const int saved = errno;
  close(fd);
  errno = saved;
}

void unlink_keeping_errno(const char* path) {
  const int saved = errno;
  unlink(path);
  errno = saved;
}

// The directory that will hold path, where its copy is made so that giving
// it the name needs no move across file systems.
std::string directory_of(const char* path) {
  const char* slash = std::strrchr(path, '/');
  if (slash == nullptr) return ".";
  if (slash == path) return "/";
  return {path, static_cast<size_t>(slash - path)};
}

// A file in link_name's directory that no name leads to yet.
int open_unnamed_beside(const char* link_name) {
#ifdef O_TMPFILE
  return open(directory_of(link_name).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
#else
  errno = EOPNOTSUPP;
  return -1;
#endif
}

constexpr size_t temporary_infix_length = sizeof temporary_infix - 1;

// A file under a temporary name beside link_name, which says whose it is
// should a killed run ever leave it behind.
int open_named_beside(const char* link_name, std::string& temporary_name) {
  temporary_name = std::string(link_name) + temporary_infix + "XXXXXX";
  return mkostemp(temporary_name.data(), O_CLOEXEC);
}

// Whether name is one that open_named_beside gives a temporary file beside
// base: the infix, then the six letters and digits that mkostemp fills in.
bool temporary_name_of(const char* name, std::string_view base) {
  const std::string_view whole(name);
  if (whole.size() != base.size() + temporary_infix_length + 6 || !whole.starts_with(base) ||
      whole.substr(base.size(), temporary_infix_length) != temporary_infix) {
    return false;
  }
  const std::string_view random = whole.substr(base.size() + temporary_infix_length);
  return std::all_of(random.begin(), random.end(),
                     [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; });
}

// Renames temporary_name to link_name in the strongest way the file system
// offers that never replaces a name: NFS and FUSE file systems refuse
// RENAME_NOREPLACE, and FAT and exFAT hard links too.
bool rename_without_replacing(const char* temporary_name, const char* link_name) {
#ifdef RENAME_NOREPLACE
  if (renameat2(AT_FDCWD, temporary_name, AT_FDCWD, link_name, RENAME_NOREPLACE) == 0) return true;
  if (!refused_here(errno)) return false;
#endif
  if (link(temporary_name, link_name) == 0) {
    unlink(temporary_name);
    return true;
  }
  if (!refused_here(errno)) return false;
  // Last, a rename once the name is seen free. Another process could take
  // the name between the look and the rename; this small window is the
  // price of file systems that offer nothing better.
  struct stat existing;
  if (lstat(link_name, &existing) == 0) {
    errno = EEXIST;
    return false;
  }
  return errno == ENOENT && rename(temporary_name, link_name) == 0;
}

// Only a regular file is copied, and only to a free name, or where
// over_old_name over a file, which replacing then says: publishing would
// refuse such a name too, but after copying every byte.
bool may_copy(const struct stat& status, const char* link_name, bool over_old_name,
              bool& replacing) {
  struct stat existing;
  replacing = false;
  if (!S_ISREG(status.st_mode)) {
    errno = S_ISDIR(status.st_mode) ? EISDIR : static_cast<int>(posix_platform::not_regular_file);
  } else if (lstat(link_name, &existing) != 0) {
    return true;
  } else if (over_old_name && !S_ISDIR(existing.st_mode)) {
    replacing = true;
    return true;
  } else {
    errno = S_ISDIR(existing.st_mode) ? EISDIR : EEXIST;
  }
  return false;
}

// The name, in directory, that target ends at where it is a symbolic link:
// the program's own, whatever its shape. Empty where it is none there, and
// null where that cannot be told.
std::optional<std::string> symbolic_end(const char* target, const std::string& directory) {
  struct stat status;
  if (lstat(target, &status) != 0) return std::nullopt;
  if (!S_ISLNK(status.st_mode)) return std::string();
  using resolved = std::unique_ptr<char, decltype(&std::free)>;
  const resolved end(realpath(target, nullptr), &std::free);
  const resolved here(realpath(directory.c_str(), nullptr), &std::free);
  if (end == nullptr || here == nullptr) return std::nullopt;
  const std::string_view whole(end.get());
  const std::string_view prefix = std::strcmp(here.get(), "/") == 0 ? "" : here.get();
  if (!whole.starts_with(prefix) || whole.substr(prefix.size()).rfind('/') != 0) return "";
  return std::string(whole.substr(prefix.size() + 1));
}

}  // namespace

// Only regular files of the exact name shape: this user's, or names of the
// target's own file, which cost a name and never data, whoever owns them. The
// caller holds the tree's lock, so none of them belongs to a live run.
void posix_platform::remove_leftovers(const char* link_name, const char* target) const {
  if (!tree_locked_) return;
  const std::string directory_name = directory_of(link_name);
  struct stat file;
  const std::optional<std::string> program = symbolic_end(target, directory_name);
  if (!program || stat(target, &file) != 0) return;
  const char* const slash = std::strrchr(link_name, '/');
  const std::string_view base = slash == nullptr ? link_name : slash + 1;
  DIR* const directory = opendir(directory_name.c_str());
  if (directory == nullptr) return;
  const uid_t self = geteuid();
  while (const dirent* entry = readdir(directory)) {
    struct stat status;
    if (temporary_name_of(entry->d_name, base) && *program != entry->d_name &&
        fstatat(dirfd(directory), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(status.st_mode) &&
        (status.st_uid == self || (status.st_dev == file.st_dev && status.st_ino == file.st_ino))) {
      unlinkat(dirfd(directory), entry->d_name, 0);
    }
  }
  closedir(directory);
}

bool posix_platform::publish(int file, const char* temporary_name, const char* link_name,
                             bool replacing) {
  if (temporary_name == nullptr) {
    // An unnamed file can only be linked through its /proc entry, unless
    // the caller holds CAP_DAC_READ_SEARCH.
    const std::string self = "/proc/self/fd/" + std::to_string(file);
    if (!replacing) {
      return linkat(AT_FDCWD, self.c_str(), AT_FDCWD, link_name, AT_SYMLINK_FOLLOW) == 0;
    }
    // A link cannot take an old name's place: the whole copy is named
    // beside it, and only then renamed over it.
    const char* const beside = link_beside(self.c_str(), link_name);
    if (beside == nullptr) return false;
    if (rename_call_(beside, link_name) == 0) return true;
    unlink_keeping_errno(beside);
    return false;
  }
  // One rename: the old file stays whole under its name until the new one is.
  if (replacing) return rename_call_(temporary_name, link_name) == 0;
  return rename_without_replacing(temporary_name, link_name);
}

copy_outcome posix_platform::copy_into(int from, const struct stat& status, const char* link_name,
                                       bool unnamed, bool replacing) {
  std::string temporary_name;
  const int to =
      unnamed ? open_unnamed_beside(link_name) : open_named_beside(link_name, temporary_name);
  if (to < 0) {
    // Kernels and file systems without unnamed files answer one of these.
    const bool no_unnamed_files = unnamed && (refused_here(errno) || errno == EISDIR);
    return no_unnamed_files ? copy_outcome::refused : copy_outcome::failed;
  }
  // The copy stands in for a hard link, so it takes the target's permission
  // bits, whatever the umask, and its times; set-id bits are left out, as
  // the copy may have another owner. The data reaches the disk before the
  // name does, so neither a power cut nor a write error that only shows on
  // a flush can leave a broken program behind a success.
  const struct timespec times[2] = {status.st_atim, status.st_mtim};
  struct stat copied;
  bool made = copy_contents(from, to) && fstat(to, &copied) == 0;
  if (made && copied.st_size != status.st_size) {
    errno = static_cast<int>(copy_incomplete);
    made = false;
  }
  made = made && (fchmod(to, status.st_mode & 0777) == 0 || not_held_here(to)) &&
         (futimens(to, times) == 0 || not_held_here(to)) && fdatasync(to) == 0;
  const bool published =
      made && publish(to, unnamed ? nullptr : temporary_name.c_str(), link_name, replacing);
  // Where the file system or a missing /proc refuses the link, a named
  // temporary file can still be renamed into place.
  const bool link_refused =
      made && !published && unnamed && (refused_here(errno) || errno == ENOENT || errno == EMLINK);
  close_keeping_errno(to);
  if (published) return copy_outcome::done;
  if (!unnamed) unlink_keeping_errno(temporary_name.c_str());
  return link_refused ? copy_outcome::refused : copy_outcome::failed;
}

bool posix_platform::copy_file(const char* target, const char* link_name, bool over_old_name) {
  // Neither a FIFO nor a device may block the open; both are refused below.
  const int from = open(target, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (from < 0) return false;
  struct stat status;
  bool replacing = false;
  copy_outcome result = copy_outcome::failed;
  if (fstat(from, &status) == 0 && may_copy(status, link_name, over_old_name, replacing)) {
    remove_leftovers(link_name, target);
    result = copy_into(from, status, link_name, true, replacing);
    if (result == copy_outcome::refused && lseek(from, 0, SEEK_SET) == 0) {
      result = copy_into(from, status, link_name, false, replacing);
    }
  }
  close_keeping_errno(from);
  return result == copy_outcome::done;
}
