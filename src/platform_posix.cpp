// The platform layer on POSIX systems, with Linux's in-kernel copies where present.
#include "platform_posix.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

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

void unlink_keeping_errno(const char* path) {
  const int saved = errno;
  unlink(path);
  errno = saved;
}

// The errors by which the kernel says "this way of copying is not offered here",
// as opposed to a real failure of the data or the disk.
bool refused_here(int error) {
  return error == ENOSYS || error == EOPNOTSUPP || error == ENOTSUP || error == EXDEV ||
         error == EINVAL || error == ENOTTY || error == EBADF || error == EPERM;
}

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

// A file under a temporary name beside link_name, which says whose it is
// should a killed run ever leave it behind.
int open_named_beside(const char* link_name, std::string& temporary_name) {
  temporary_name = std::string(link_name) + ".link-installer-XXXXXX";
  return mkostemp(temporary_name.data(), O_CLOEXEC);
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

// Only a regular file is copied, and only to a free name: publishing would
// refuse an existing one too, but after copying every byte.
bool may_copy(const struct stat& status, const char* link_name) {
  struct stat existing;
  if (!S_ISREG(status.st_mode)) {
    errno = S_ISDIR(status.st_mode) ? EISDIR : static_cast<int>(posix_platform::not_regular_file);
  } else if (lstat(link_name, &existing) == 0) {
    errno = EEXIST;
  } else {
    return true;
  }
  return false;
}

// Calls visit with the colon-separated fields of each line of a user
// database file such as /etc/passwd, until it answers true.
template <typename visitor>
void each_entry(const char* file, visitor visit) {
  std::FILE* database = std::fopen(file, "re");
  if (database == nullptr) return;
  char* line = nullptr;
  size_t capacity = 0;
  std::vector<std::string_view> fields;
  for (ssize_t length = 0; (length = getline(&line, &capacity, database)) > 0;) {
    std::string_view rest(line, static_cast<size_t>(length));
    if (rest.back() == '\n') rest.remove_suffix(1);
    fields.clear();
    for (size_t colon = 0; (colon = rest.find(':')) != std::string_view::npos;) {
      fields.push_back(rest.substr(0, colon));
      rest.remove_prefix(colon + 1);
    }
    fields.push_back(rest);
    if (visit(fields)) break;
  }
  std::free(line);
  std::fclose(database);
}

template <typename id>
bool whole_number(std::string_view field, id& value) {
  const char* end = field.data() + field.size();
  const auto [stop, error] = std::from_chars(field.data(), end, value);
  return !field.empty() && error == std::errc() && stop == end;
}

// The groups the user database gives uid: its primary group first, then each
// group that lists it as a member; none for a user it does not know. Reading
// the local files keeps the static tool clear of the C library's run-time
// modules; an owner known only to a network directory counts as unknown,
// which grants fewer rights, never more.
std::vector<gid_t> groups_of_user(uid_t uid) {
  std::string name;
  std::vector<gid_t> groups;
  each_entry("/etc/passwd", [&](const std::vector<std::string_view>& fields) {
    uid_t user = 0;
    gid_t group = 0;
    if (fields.size() < 4 || !whole_number(fields[2], user) || user != uid ||
        !whole_number(fields[3], group)) {
      return false;
    }
    name = fields[0];
    groups.push_back(group);
    return true;
  });
  if (groups.empty()) return groups;
  each_entry("/etc/group", [&](const std::vector<std::string_view>& fields) {
    gid_t group = 0;
    if (fields.size() < 4 || !whole_number(fields[2], group)) return false;
    std::string_view members = fields[3];
    while (!members.empty()) {
      const size_t comma = std::min(members.find(','), members.size());
      if (members.substr(0, comma) == name && group != groups.front()) groups.push_back(group);
      members.remove_prefix(std::min(comma + 1, members.size()));
    }
    return false;
  });
  return groups;
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

bool posix_platform::publish(int file, const char* temporary_name, const char* link_name) {
  if (temporary_name == nullptr) {
    // An unnamed file can only be linked through its /proc entry, unless
    // the caller holds CAP_DAC_READ_SEARCH.
    const std::string self = "/proc/self/fd/" + std::to_string(file);
    return linkat(AT_FDCWD, self.c_str(), AT_FDCWD, link_name, AT_SYMLINK_FOLLOW) == 0;
  }
  return rename_without_replacing(temporary_name, link_name);
}

copy_outcome posix_platform::copy_into(int from, const struct stat& status, const char* link_name,
                                       bool unnamed) {
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
  const bool published = made && publish(to, unnamed ? nullptr : temporary_name.c_str(), link_name);
  // Where the file system or a missing /proc refuses the link, a named
  // temporary file can still be renamed into place.
  const bool link_refused =
      made && !published && unnamed && (refused_here(errno) || errno == ENOENT || errno == EMLINK);
  close_keeping_errno(to);
  if (published) return copy_outcome::done;
  if (!unnamed) unlink_keeping_errno(temporary_name.c_str());
  return link_refused ? copy_outcome::refused : copy_outcome::failed;
}

bool posix_platform::change_directory(const char* path) { return chdir(path) != -1; }

bool posix_platform::become_tree_owner() {
  if (geteuid() != 0) return true;
  struct stat tree;
  if (stat(".", &tree) != 0) return false;
  if (tree.st_uid == 0) return true;
  // The owner's own groups. One that the user database does not know gets
  // only the tree's group, and never root's: a tree that root gave away
  // keeps root's group.
  const std::vector<gid_t> groups = groups_of_user(tree.st_uid);
  const gid_t group = groups.empty() ? tree.st_gid : groups.front();
  if (groups.empty() && group == 0) return false;
  // Groups first, while the rights to change them remain. As root, setgid
  // and setuid set the real, effective and saved ids alike, so there is no
  // way back.
  return setgroups(groups.size(), groups.data()) == 0 && setgid(group) == 0 &&
         setuid(tree.st_uid) == 0;
}

void posix_platform::lock_tree() {
  if (tree_lock_ >= 0) close(tree_lock_);
  // The tree's root directory itself carries the lock, so no lock file is
  // left in the tree, and the system lets go of it when its holder dies.
  // Where it cannot be opened or locked (ENOLCK, EOPNOTSUPP), runs go on
  // unordered, as they always could.
  tree_lock_ = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (tree_lock_ < 0) return;
  while (flock(tree_lock_, LOCK_EX) != 0 && errno == EINTR) {
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
  return stat(link_name, &name) == 0 && stat(target, &file) == 0 && name.st_dev == file.st_dev &&
         name.st_ino == file.st_ino;
}

void posix_platform::delete_file(const char* path) { unlink(path); }

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

bool posix_platform::copy_file(const char* target, const char* link_name) {
  // Neither a FIFO nor a device may block the open; both are refused below.
  const int from = open(target, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (from < 0) return false;
  struct stat status;
  copy_outcome result = copy_outcome::failed;
  if (fstat(from, &status) == 0 && may_copy(status, link_name)) {
    result = copy_into(from, status, link_name, true);
    if (result == copy_outcome::refused && lseek(from, 0, SEEK_SET) == 0) {
      result = copy_into(from, status, link_name, false);
    }
  }
  close_keeping_errno(from);
  return result == copy_outcome::done;
}

platform::error_code posix_platform::last_error() { return static_cast<error_code>(errno); }

std::string posix_platform::error_text(error_code code) {
  if (code == not_regular_file) return "Not a regular file\n";
  if (code == copy_incomplete) return "Copy does not match the size of the file\n";
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
