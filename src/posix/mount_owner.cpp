// Who mounted a file system. A FUSE server answers for the owners of all it
// holds, so what it reports is worth nothing to a root run; the kernel's own
// record of the mounting user is what counts.
#include <sys/stat.h>
#ifdef __linux__
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "posix/posix_platform.h"

namespace {

#ifdef __linux__
constexpr unsigned long fuse_magic = 0x65735546;

// Whether the FUSE file system on device was mounted by root: the kernel notes
// the mounting user as user_id= among its options in the mount table. 1 for
// root's, 0 for another's or one the table does not list, -1 with errno where
// the table cannot be read.
int fuse_mounted_by_root(dev_t device) {
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
    while (!rest.empty()) {
      const size_t comma = rest.find_first_of(",\n");
      if (rest.substr(0, comma) == "user_id=0") answer = 1;
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

bool mounted_by_others(dev_t device, const char* path) {
#ifdef __linux__
  // Only FUSE lets a user serve owners of their choosing; statfs tells it
  // without reading the mount table.
  struct statfs about;
  if (statfs(path, &about) != 0) return true;
  if (static_cast<unsigned long>(about.f_type) != fuse_magic) return false;
  const int roots = fuse_mounted_by_root(device);
  if (roots == 0) errno = static_cast<int>(posix_platform::owned_by_others);
  return roots != 1;
#else
  (void)device;
  (void)path;
  return false;
#endif
}
