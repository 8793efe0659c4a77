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

// Whether path ends in a directory that an earlier walk of this run found
// to be root's alone, where the name to make needs no look, and a target that
// is a regular file is the end of the walk. Most walks of a run end so.
bool known_to_be_safe(const walked_paths& seen, const char* path, const char* slash,
                      bool follow_last) {
  if (slash == nullptr || slash[1] == '\0') return false;
  const auto length = static_cast<size_t>(slash - path);
  if ((seen.lengths >> (length % 64) & 1) == 0) return false;
  for (size_t i = seen.directory_count; i-- > 0;) {
    const walked_paths::directory& known = seen.directories[i];
    if (known.length != length || std::memcmp(seen.text + known.at, path, length) != 0) continue;
    struct stat file;
    return !open_to_others(known.mode) &&
           (!follow_last ||
            (fstatat(AT_FDCWD, path, &file, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(file.st_mode)));
  }
  return false;
}

// One walk from the working directory along a path, acting by path: the
// directory it stands in, and what is left of the path to walk.
class safe_walk {
 public:
  // slash is the last one in path, or null. The buffers are written before
  // they are read, so they start unset.
  // cppcheck-suppress uninitMemberVar
  safe_walk(walked_paths& seen, const char* path, const char* slash)
      : seen_(seen), given_(path), slash_(slash) {}

  // False, with errno set, where the path passes what another user could
  // have planted, or where the walk could not look; with follow_last false,
  // its last component is the name to make, and is not followed.
  bool run(bool follow_last) {
    length_ = std::strlen(given_);
    if (length_ >= sizeof path_) return refuse(ENAMETOOLONG) == step::next;
    std::memcpy(path_, given_, length_ + 1);
    const size_t parent = parent_length();
    if (!start(known_start(path_, parent))) return false;
    for (;;) {
      size_t begin = at_;
      while (path_[begin] == '/') ++begin;
      if (path_[begin] == '\0') return true;
      const char* const slash = std::strchr(path_ + begin, '/');
      const size_t end = slash == nullptr ? length_ : static_cast<size_t>(slash - path_);
      size_t after = end;
      while (path_[after] == '/') ++after;
      const bool last = path_[after] == '\0';
      // Where links led the walk to the given path's last name, its
      // directory is known by the given path's text too.
      if (last && links_ > 0 && !last_replaced_) remember(given_, parent, mode_);
      at_ = after;
      const step now = look_at(begin, end, last, last && !follow_last);
      if (now != step::next) return now == step::done;
    }
  }

 private:
  enum class step { next, done, refused };

  // How much of the given path names the directory of its last name.
  size_t parent_length() const {
    size_t length = slash_ == nullptr ? 0 : static_cast<size_t>(slash_ - given_) + 1;
    if (length == length_) {  // trailing slashes: the name comes before them
      while (length > 1 && given_[length - 1] == '/') --length;
      while (length > 0 && given_[length - 1] != '/') --length;
    }
    while (length > 1 && given_[length - 1] == '/') --length;
    return length;
  }

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

  // The newest directory of this run whose text begins text, of at most
  // most bytes. Walks remember directories from the top down, so it is the
  // deepest one the latest walk there reached; an older, deeper one is only
  // walked to again.
  const walked_paths::directory* known_start(const char* text, size_t most) const {
    for (size_t i = seen_.directory_count; i-- > 0;) {
      const walked_paths::directory& known = seen_.directories[i];
      const size_t length = known.length;
      if (length > most || (length > 0 && text[length] != '/' && text[length - 1] != '/')) continue;
      if (length == 0 ? text[0] != '/' : std::memcmp(seen_.text + known.at, text, length) == 0) {
        return &known;
      }
    }
    return nullptr;
  }

  // Stands the walk in known, or where there is none, in the tree root or
  // "/", looked at for the first time.
  bool start(const walked_paths::directory* known) {
    if (known != nullptr) {
      at_ = known->length;
      mode_ = known->mode;
      return true;
    }
    at_ = path_[0] == '/' ? 1 : 0;
    const char* const top = at_ == 1 ? "/" : ".";
    struct stat status;
    if (stat(top, &status) != 0) return refuse(errno) == step::next;
    if (status.st_uid != 0) return refuse(posix_platform::owned_by_others) == step::next;
    if (device_of_others(status.st_dev, top)) return false;
    mode_ = status.st_mode;
    remember(path_, at_, mode_);
    return true;
  }

  // Whether device is a file system that another user mounted, or that could
  // not be told apart from one: then errno says which.
  bool device_of_others(dev_t device, const char* path) {
    for (size_t i = 0; i < seen_.device_count; ++i) {
      if (seen_.devices[i] == device) return false;
    }
    if (mounted_by_others(device, path)) return true;
    if (seen_.device_count < std::size(seen_.devices)) seen_.devices[seen_.device_count++] = device;
    return false;
  }

  void remember(const char* text, size_t length, mode_t mode) {
    if (seen_.directory_count == std::size(seen_.directories) ||
        length > sizeof seen_.text - seen_.text_used) {
      return;  // walked again next time, as if never seen
    }
    std::memcpy(seen_.text + seen_.text_used, text, length);
    seen_.directories[seen_.directory_count++] = {seen_.text_used, length, mode};
    seen_.lengths |= std::uint64_t{1} << (length % 64);
    seen_.text_used += length;
  }

  step look_at(size_t begin, size_t end, bool last, bool only_name) {
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
        remember(path_, end, mode_);
        return step::next;
      }
      link_length = readlinkat(AT_FDCWD, path_, link_, sizeof link_);
      if (link_length < 0) return refuse(errno);
      if (link_length == 0 || link_length == sizeof link_) return refuse(ENAMETOOLONG);
    }
    if (++links_ > most_links) return refuse(ELOOP);
    if (last) last_replaced_ = true;
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
    if (head == 0 && !start(known_start(path_, length_))) return step::refused;
    return step::next;
  }

  walked_paths& seen_;
  const char* given_;
  const char* slash_;
  char path_[2 * PATH_MAX];  // the path as walked: its directory, then what is left
  char link_[PATH_MAX];      // the text of the last symbolic link followed
  size_t length_ = 0;
  size_t at_ = 0;    // where what is left begins
  mode_t mode_ = 0;  // the mode of the directory the walk stands in
  int links_ = 0;
  bool last_replaced_ = false;  // whether the given path's last name was a link, now followed
};

// A walk that goes beyond what the run knows already, apart, so that its
// buffers are only set up on the stack when it does.
__attribute__((noinline)) bool walk_on(walked_paths& seen, const char* path, const char* slash,
                                       bool follow_last) {
  return safe_walk(seen, path, slash).run(follow_last);
}

bool walk(walked_paths& seen, const char* path, bool follow_last) {
  const char* const slash = std::strrchr(path, '/');
  return known_to_be_safe(seen, path, slash, follow_last) ||
         walk_on(seen, path, slash, follow_last);
}

}  // namespace

bool posix_platform::safe_paths(const char* link_name, const char* target) {
  return !guard_paths_ || (walk(walked_, link_name, false) && walk(walked_, target, true));
}
