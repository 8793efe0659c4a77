// Who mounted a file system. A FUSE server answers for the owners of all it
// holds, so what it reports is worth nothing to a root run; the kernel's own
// record of the mounting user is what counts.
#include <sys/stat.h>
#ifdef __linux__
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#endif

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "posix/posix_platform.h"

namespace {

#ifdef __linux__
constexpr unsigned long fuse_magic = 0x65735546;

// Who mounted the FUSE file system on device: the kernel notes the mounting
// user as user_id= among its options in the mount table. 1 with user set, 0
// where the table does not say, -1 with errno where it cannot be read.
int fuse_mounting_user(dev_t device, uid_t& user) {
  std::FILE* table = std::fopen("/proc/self/mountinfo", "re");
  if (table == nullptr) return -1;
  char wanted[32];
  std::snprintf(wanted, sizeof wanted, "%u:%u ", major(device), minor(device));
  const std::string_view numbers(wanted);
  char* line = nullptr;
  size_t room = 0;
  int answer = 0;
  while (getline(&line, &room, table) > 0) {
    // ID PARENT MAJOR:MINOR ROOT MOUNTPOINT ... - TYPE SOURCE OPTIONS
    const std::string_view whole(line);
    const size_t third = whole.find(' ', whole.find(' ') + 1);
    const size_t separator = whole.find(" - ");
    if (third == std::string_view::npos || separator == std::string_view::npos ||
        whole.substr(third + 1, numbers.size()) != numbers) {
      continue;
    }
    const size_t source = whole.find(' ', separator + 3);
    const size_t options = source == std::string_view::npos ? source : whole.find(' ', source + 1);
    std::string_view rest = options == std::string_view::npos ? "" : whole.substr(options + 1);
    constexpr std::string_view key = "user_id=";
    while (!rest.empty()) {
      const size_t comma = rest.find_first_of(",\n");
      const std::string_view option = rest.substr(0, comma);
      if (option.substr(0, key.size()) == key && option.size() > key.size()) {
        const std::string_view digits = option.substr(key.size());
        uid_t value = 0;
        const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
        if (error == std::errc() && end == digits.data() + digits.size()) {
          user = value;
          answer = 1;
        }
      }
      rest = comma == std::string_view::npos ? "" : rest.substr(comma + 1);
    }
    break;
  }
  if (std::ferror(table) != 0) answer = -1;
  const int error = errno;
  std::free(line);
  std::fclose(table);
  errno = error;
  return answer;
}
#endif

}  // namespace

mounter fuse_mounter(dev_t device, const char* path, uid_t& user) {
#ifdef __linux__
  // Only FUSE lets a user serve owners of their choosing; statfs tells it
  // without reading the mount table.
  struct statfs about;
  if (statfs(path, &about) != 0) return mounter::unknown;
  if (static_cast<unsigned long>(about.f_type) != fuse_magic) return mounter::not_fuse;
  const int found = fuse_mounting_user(device, user);
  if (found == 0) errno = static_cast<int>(posix_platform::owned_by_others);
  return found == 1 ? mounter::known : mounter::unknown;
#else
  (void)device;
  (void)path;
  (void)user;
  return mounter::not_fuse;
#endif
}

bool mounted_by_others(dev_t device, const char* path) {
  uid_t user = 0;
  switch (fuse_mounter(device, path, user)) {
    case mounter::not_fuse:
      return false;
    case mounter::known:
      if (user == 0) return false;
      errno = static_cast<int>(posix_platform::owned_by_others);
      return true;
    case mounter::unknown:
      break;
  }
  return true;
}
