// A root run on a tree that another user owns takes on that user's identity
// and own groups for good, so the tree cannot lead it beyond that user's
// rights. A root run on root's own tree stays root, and safe_path.cpp then
// guards every path it follows.
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "posix/posix_platform.h"

namespace {

#ifdef __GLIBC__
const char* name_of(const passwd& user) { return user.pw_name; }
const char* name_of(const group& entry) { return entry.gr_name; }

// Calls visit with each entry that read (fgetpwent_r or fgetgrent_r) takes
// from file, until visit answers true. The C library parses the file itself,
// as getpwuid does, skipping blank, comment and malformed lines, and loads
// none of its run-time modules, which the static tool must not. Answers
// whether the whole file was read: a missing file lists nobody, but one that
// cannot be read to its end, for want of memory say, is not taken in part.
template <typename entry, typename visitor>
bool each_entry(const char* file, int (*read)(std::FILE*, entry*, char*, size_t, entry**),
                visitor visit) {
  std::FILE* database = std::fopen(file, "re");
  if (database == nullptr) return errno == ENOENT;
  size_t size = 4096;
  char* buffer = static_cast<char*>(std::malloc(size));
  bool whole = buffer != nullptr;
  entry record{};
  entry* found = nullptr;
  while (whole) {
    const int error = read(database, &record, buffer, size, &found);
    // A line longer than the buffer is read again, into a larger one, however long.
    if (error == ERANGE) {
      char* const larger = static_cast<char*>(std::realloc(buffer, size * 2));
      whole = larger != nullptr;
      if (whole) buffer = larger;
      size *= 2;
      continue;
    }
    if (error == ENOENT) break;  // the end of the file
    whole = error == 0 && found != nullptr;
    // Lines of the compat service (+name, -name) are no entries for the
    // look-ups, which skip them; neither are they here.
    if (!whole || *name_of(*found) == '+' || *name_of(*found) == '-') continue;
    if (visit(*found)) break;
  }
  std::free(buffer);
  std::fclose(database);
  return whole;
}

// The groups the local user database gives uid: its primary group first, then
// each group that lists it as a member; none for a user it does not know. An
// owner known only to a network directory counts as unknown, which grants
// fewer rights, never more. False where the database could not be read.
bool groups_of_user(uid_t uid, std::vector<gid_t>& groups) {
  std::string name;
  const bool users = each_entry<passwd>("/etc/passwd", fgetpwent_r, [&](const passwd& user) {
    if (user.pw_uid != uid) return false;
    name = user.pw_name;
    groups.push_back(user.pw_gid);
    return true;
  });
  if (!users || groups.empty()) return users;
  return each_entry<group>("/etc/group", fgetgrent_r, [&](const group& entry) {
    for (char* const* member = entry.gr_mem; *member != nullptr; ++member) {
      if (name == *member && entry.gr_gid != groups.front()) groups.push_back(entry.gr_gid);
    }
    return false;
  });
}
#else
// Without glibc, the C library's own look-ups: the primary group first.
bool groups_of_user(uid_t uid, std::vector<gid_t>& groups) {
  passwd record{};
  passwd* user = nullptr;
  std::vector<char> buffer(16384);
  const int error = getpwuid_r(uid, &record, buffer.data(), buffer.size(), &user);
  if (error != 0 || user == nullptr) return error == 0;
  groups.resize(64);
  int count = static_cast<int>(groups.size());
  while (getgrouplist(user->pw_name, user->pw_gid, groups.data(), &count) < 0) {
    groups.resize(static_cast<size_t>(count) + 64);
    count = static_cast<int>(groups.size());
  }
  groups.resize(static_cast<size_t>(count));
  std::erase(groups, user->pw_gid);
  groups.insert(groups.begin(), user->pw_gid);
  return true;
}
#endif

// The group the kernel shows for an id it cannot map, which no file grants
// anything to; 0 where that cannot be read.
gid_t overflow_group() {
  std::FILE* file = std::fopen("/proc/sys/kernel/overflowgid", "re");
  if (file == nullptr) return errno == ENOENT ? 65534 : 0;
  char text[32] = "";
  const bool read = std::fgets(text, sizeof text, file) != nullptr;
  std::fclose(file);
  char* end = text;
  const unsigned long group = read ? std::strtoul(text, &end, 10) : 0;
  return end != text && (*end == '\n' || *end == '\0') ? static_cast<gid_t>(group) : 0;
}

}  // namespace

platform::owner_change posix_platform::become_tree_owner() {
  guard_paths_ = false;
  devices_ = {};
  if (geteuid() != 0) return owner_change::done;
  struct stat tree;
  if (stat(".", &tree) != 0) return owner_change::refused;
  // A FUSE server claims whatever owners it likes: the tree there is the
  // mounting user's, unless root mounted it and so trusts its server.
  uid_t owner = tree.st_uid;
  uid_t mounting_user = 0;
  switch (fuse_mounter(tree.st_dev, ".", mounting_user)) {
    case mounter::not_fuse:
      break;
    case mounter::known:
      if (mounting_user != 0) owner = mounting_user;
      break;
    case mounter::unknown:
      return owner_change::refused;
  }
  if (owner == 0) {
    // Root stays root here, so whoever else can write the tree could lead it anywhere.
    if ((tree.st_mode & (S_IWGRP | S_IWOTH)) != 0) return owner_change::open_to_others;
    guard_paths_ = true;
    return owner_change::done;
  }
  // The owner's own groups. One that the user database does not know gets
  // none, and the overflow group: not the tree's, which an archive unpacked
  // by root keeps from another machine, and never root's.
  std::vector<gid_t> groups;
  if (!groups_of_user(owner, groups)) return owner_change::refused;
  const gid_t group = groups.empty() ? overflow_group() : groups.front();
  if (groups.empty() && group == 0) return owner_change::refused;
  // Groups first, while the rights to change them remain. As root, setgid
  // and setuid set the real, effective and saved ids alike, so there is no
  // way back.
  const bool changed = setgroups(groups.size(), groups.data()) == 0 && setgid(group) == 0 &&
                       setuid(owner) == 0;
  return changed ? owner_change::done : owner_change::refused;
}
