// The paths a root run may follow when it stays root, on a tree that root
// owns: only where nobody but root can have planted what it follows. Every
// directory it passes and every symbolic link it follows must be root's, and
// no directory it passes may be writable by group or others, unless it is
// sticky (/tmp, /dev/shm) and what comes next in it is root's. Once that
// holds, nobody else can change these paths between the check and the act,
// so the copy and the link may go on acting by path.
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "posix/posix_platform.h"

namespace {

#ifdef O_PATH
constexpr int lookup_only = O_PATH;  // enough to look things up in, and read nothing
#else
constexpr int lookup_only = O_RDONLY;
#endif

constexpr int most_links = 40;  // the kernel's own bound on symbolic links in one lookup

bool open_to_others(const struct stat& status) {
  return (status.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

// Moves the walk into directory, relative to from, and reads what it is.
bool enter(int& directory, struct stat& status, int from, const char* name) {
  const int next = openat(from, name, lookup_only | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (directory >= 0) close(directory);
  directory = next;
  return next >= 0 && fstat(next, &status) == 0;
}

// One walk from the working directory along a path: where it stands, and
// what is left of the path to walk. Its buffers are its own, so that a run
// that makes hard links touches no heap.
class safe_walk {
 public:
  // The buffers are written before they are read, so they start unset.
  // cppcheck-suppress uninitMemberVar
  explicit safe_walk(const char* path) { whole_ = replace_rest(path, {}); }
  ~safe_walk() {
    if (directory_ >= 0) close(directory_);
  }
  safe_walk(const safe_walk&) = delete;
  safe_walk& operator=(const safe_walk&) = delete;

  // False, with errno set to the platform's code, where the path passes what
  // another user could have planted; with follow_last false, its last
  // component is looked at but not followed. Where the walk cannot go on (a
  // name missing from a directory only root can write, a file where a
  // directory should be), the act meets the same and fails on its own.
  bool run(bool follow_last) {
    if (!whole_) return refuse(ENAMETOOLONG) == step::next;
    if (!enter(directory_, here_, AT_FDCWD, ".")) return true;
    for (step now = step::next; now == step::next;) {
      const std::string_view rest(rest_, length_);
      const size_t at = rest.find_first_not_of('/', at_);
      if (at == std::string_view::npos) break;
      at_ = std::min(rest.find('/', at), rest.size());
      const std::string_view name = rest.substr(at, at_ - at);
      if (name.size() >= sizeof name_) break;  // longer than any file system takes
      name_[name.copy(name_, name.size())] = '\0';
      const bool last = rest.find_first_not_of('/', at_) == std::string_view::npos;
      now = look_up(last && !follow_last);
      if (now == step::refused) return false;
    }
    return true;
  }

 private:
  enum class step { next, done, refused };

  static step refuse(platform::error_code code) {
    errno = static_cast<int>(code);
    return step::refused;
  }

  // Makes head, then what is left after at_, the rest still to walk; false
  // where that does not fit.
  bool replace_rest(std::string_view head, std::string_view tail) {
    const size_t length = head.size() + (tail.empty() ? 0 : 1 + tail.size());
    if (length >= sizeof rest_) return false;
    if (!tail.empty()) {
      std::memmove(rest_ + head.size() + 1, tail.data(), tail.size());
      rest_[head.size()] = '/';
    }
    head.copy(rest_, head.size());
    length_ = length;
    at_ = 0;
    return true;
  }

  step look_up(bool only_look) {
    struct stat next;
    const bool present = fstatat(directory_, name_, &next, AT_SYMLINK_NOFOLLOW) == 0;
    if (open_to_others(here_) && ((here_.st_mode & S_ISVTX) == 0 || !present || next.st_uid != 0)) {
      return refuse(posix_platform::writable_by_others);
    }
    if (!present || only_look) return step::done;
    if (S_ISLNK(next.st_mode)) return follow(next);
    // A file ends the walk; a directory is passed, and the last one followed
    // is where the name is made, so it too must be root's.
    if (!S_ISDIR(next.st_mode) || std::strcmp(name_, ".") == 0) return step::next;
    if (next.st_uid != 0) return refuse(posix_platform::owned_by_others);
    return enter(directory_, here_, directory_, name_) ? step::next : step::done;
  }

  // Puts the text of the symbolic link name_ in its place in what is left.
  step follow(const struct stat& link) {
    if (link.st_uid != 0) return refuse(posix_platform::owned_by_others);
    char text[PATH_MAX];
    const ssize_t length = readlinkat(directory_, name_, text, sizeof text);
    if (length <= 0 || length == sizeof text || ++links_ > most_links) return step::done;
    // Links of root's that lead further than can be checked are not followed blindly.
    const std::string_view tail = std::string_view(rest_, length_).substr(at_);
    if (!replace_rest({text, static_cast<size_t>(length)}, tail)) return refuse(ENAMETOOLONG);
    if (text[0] == '/' && !enter(directory_, here_, AT_FDCWD, "/")) return step::done;
    return step::next;
  }

  int directory_ = -1;
  struct stat here_ {};
  char rest_[2 * PATH_MAX];
  size_t length_ = 0;
  size_t at_ = 0;
  char name_[NAME_MAX + 1];
  int links_ = 0;
  bool whole_ = false;
};

}  // namespace

bool posix_platform::safe_paths(const char* link_name, const char* target) {
  return !guard_paths_ || (safe_walk(link_name).run(false) && safe_walk(target).run(true));
}
