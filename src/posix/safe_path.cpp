// The paths a root run may follow when it stays root, on a tree that root
// owns: only where nobody but root can have planted what it follows. Every
// directory it passes and every symbolic link it follows must be root's, on a
// file system that no other user mounted, and no directory it passes may be
// writable by group or others, unless it is sticky (/tmp, /dev/shm) and what
// comes next in it is root's. The directory that is to hold the name must be
// writable by root alone, sticky or not: the name is freed before it is made
// again, and in a shared directory anyone could take it in between. Once that
// holds, nobody else can change these paths between the check and the act, so
// the walk, the copy and the link may all go by path.
//
// A walk that cannot look refuses, with the reason it could not: it answers
// "safe" only after it has looked at every component.
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "posix/posix_platform.h"

namespace {

constexpr int most_links = 40;  // the kernel's own bound on symbolic links in one lookup

bool open_to_others(mode_t mode) { return (mode & (S_IWGRP | S_IWOTH)) != 0; }

// One walk from the working directory along a path, acting by path: the
// directory it stands in, and what is left of the path to walk.
class safe_walk {
 public:
  // The buffers are written before they are read, so they start unset.
  // cppcheck-suppress uninitMemberVar
  safe_walk(checked_devices& devices, const char* path) : devices_(devices), given_(path) {}

  // False, with errno set, where the path passes what another user could
  // have planted, or where the walk could not look; with follow_last false,
  // its last component is the name to make, and is not followed.
  bool run(bool follow_last) {
    length_ = std::strlen(given_);
    if (length_ >= sizeof path_) return refuse(ENAMETOOLONG) == step::next;
    std::memcpy(path_, given_, length_ + 1);
    if (!start()) return false;
    for (;;) {
      size_t begin = at_;
      while (path_[begin] == '/') ++begin;
      if (path_[begin] == '\0') return true;
      const char* const slash = std::strchr(path_ + begin, '/');
      const size_t end = slash == nullptr ? length_ : static_cast<size_t>(slash - path_);
      size_t after = end;
      while (path_[after] == '/') ++after;
      const bool last = path_[after] == '\0';
      at_ = after;
      const step now = look_at(begin, end, last && !follow_last);
      if (now != step::next) return now == step::done;
    }
  }

 private:
  enum class step { next, done, refused };

  static step refuse(int code) {
    errno = code;
    return step::refused;
  }

  // Writes a NUL over the path's end for the life of a look at one component.
  class cut {
   public:
    explicit cut(char* at) : at_(at), saved_(*at) { *at = '\0'; }
    ~cut() { *at_ = saved_; }
    cut(const cut&) = delete;
    cut& operator=(const cut&) = delete;

   private:
    char* at_;
    char saved_;
  };

  // Stands the walk in the tree root or "/", looked at for the first time.
  bool start() {
    at_ = path_[0] == '/' ? 1 : 0;
    const char* const top = at_ == 1 ? "/" : ".";
    struct stat status;
    if (stat(top, &status) != 0) return refuse(errno) == step::next;
    if (status.st_uid != 0) return refuse(posix_platform::owned_by_others) == step::next;
    if (device_of_others(status.st_dev, top)) return false;
    mode_ = status.st_mode;
    return true;
  }

  // Whether device is a file system that another user mounted, or that could
  // not be told apart from one: then errno says which. The mount table is
  // read once for each device of the run.
  bool device_of_others(dev_t device, const char* path) {
    for (size_t i = 0; i < devices_.count; ++i) {
      if (devices_.devices[i] == device) return false;
    }
    if (mounted_by_others(device, path)) return true;
    if (devices_.count < std::size(devices_.devices)) devices_.devices[devices_.count++] = device;
    return false;
  }

  step look_at(size_t begin, size_t end, bool only_name) {
    if (only_name)
      return open_to_others(mode_) ? refuse(posix_platform::writable_by_others) : step::done;
    if (end - begin == 1 && path_[begin] == '.') return step::next;
    ssize_t link_length = 0;
    {
      const cut component(path_ + end);
      struct stat next;
      const bool present = fstatat(AT_FDCWD, path_, &next, AT_SYMLINK_NOFOLLOW) == 0;
      if (!present && errno != ENOENT) return refuse(errno);
      if (open_to_others(mode_) && ((mode_ & S_ISVTX) == 0 || !present || next.st_uid != 0)) {
        return refuse(posix_platform::writable_by_others);
      }
      // Missing from a directory that only root can fill, or a file: the act
      // meets the same and fails on its own, or this is the target itself.
      if (!present || (!S_ISLNK(next.st_mode) && !S_ISDIR(next.st_mode))) return step::done;
      if (next.st_uid != 0) return refuse(posix_platform::owned_by_others);
      if (S_ISDIR(next.st_mode)) {
        if (device_of_others(next.st_dev, path_)) return step::refused;
        mode_ = next.st_mode;
        return step::next;
      }
      link_length = readlinkat(AT_FDCWD, path_, link_, sizeof link_);
      if (link_length < 0) return refuse(errno);
      if (link_length == 0 || link_length == sizeof link_) return refuse(ENAMETOOLONG);
    }
    if (++links_ > most_links) return refuse(ELOOP);
    return follow(begin, end, {link_, static_cast<size_t>(link_length)});
  }

  // Puts the text of the symbolic link at [begin, end) in its place.
  step follow(size_t begin, size_t end, std::string_view link) {
    const size_t head = link[0] == '/' ? 0 : begin;
    const size_t tail = length_ - end;
    if (head + link.size() + tail >= sizeof path_) return refuse(ENAMETOOLONG);
    std::memmove(path_ + head + link.size(), path_ + end, tail + 1);
    link.copy(path_ + head, link.size());
    length_ = head + link.size() + tail;
    at_ = head;
    if (head == 0 && !start()) return step::refused;
    return step::next;
  }

  checked_devices& devices_;
  const char* given_;
  char path_[2 * PATH_MAX];  // the path as walked: its directory, then what is left
  char link_[PATH_MAX];      // the text of the last symbolic link followed
  size_t length_ = 0;
  size_t at_ = 0;    // where what is left begins
  mode_t mode_ = 0;  // the mode of the directory the walk stands in
  int links_ = 0;
};

// Apart, so that a run that guards nothing never sets up a walk's buffers.
__attribute__((noinline)) bool walk(checked_devices& devices, const char* path,
                                    bool follow_last) {
  return safe_walk(devices, path).run(follow_last);
}

}  // namespace

bool posix_platform::safe_paths(const char* link_name, const char* target) {
  return !guard_paths_ || (walk(devices_, link_name, false) && walk(devices_, target, true));
}
