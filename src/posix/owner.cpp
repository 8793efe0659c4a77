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
#include <string>
#include <vector>

#include "posix/posix_platform.h"

namespace {

#ifdef __GLIBC__
// Calls visit with each entry that read (fgetpwent_r or fgetgrent_r) takes
// from file, until visit answers true. The C library parses the file itself,
// as getpwuid does, skipping blank, comment and malformed lines, and loads
// none of its run-time modules, which the static tool must not.
template <typename entry, typename visitor>
void each_entry(const char* file, int (*read)(std::FILE*, entry*, char*, size_t, entry**),
                visitor visit) {
  std::FILE* database = std::fopen(file, "re");
  if (database == nullptr) return;
  std::vector<char> buffer(4096);
  entry record{};
  entry* found = nullptr;
  for (;;) {
    const int error = read(database, &record, buffer.data(), buffer.size(), &found);
    // A line longer than the buffer is read again, into a larger one.
    if (error == ERANGE && buffer.size() < (size_t{1} << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (error != 0 || found == nullptr || visit(*found)) break;
  }
  std::fclose(database);
}

// The groups the local user database gives uid: its primary group first, then
// each group that lists it as a member; none for a user it does not know. An
// owner known only to a network directory counts as unknown, which grants
// fewer rights, never more.
std::vector<gid_t> groups_of_user(uid_t uid) {
  std::vector<gid_t> groups;
  std::string name;
  each_entry<passwd>("/etc/passwd", fgetpwent_r, [&](const passwd& user) {
    if (user.pw_uid != uid) return false;
    name = user.pw_name;
    groups.push_back(user.pw_gid);
    return true;
  });
  if (groups.empty()) return groups;
  each_entry<group>("/etc/group", fgetgrent_r, [&](const group& entry) {
    for (char* const* member = entry.gr_mem; *member != nullptr; ++member) {
      if (name == *member && entry.gr_gid != groups.front()) groups.push_back(entry.gr_gid);
    }
    return false;
  });
  return groups;
}
#else
// Without glibc, the C library's own look-ups: the primary group first.
std::vector<gid_t> groups_of_user(uid_t uid) {
  passwd record{};
  passwd* user = nullptr;
  std::vector<char> buffer(16384);
  if (getpwuid_r(uid, &record, buffer.data(), buffer.size(), &user) != 0 || user == nullptr) {
    return {};
  }
  std::vector<gid_t> groups(64);
  int count = static_cast<int>(groups.size());
  while (getgrouplist(user->pw_name, user->pw_gid, groups.data(), &count) < 0) {
    groups.resize(static_cast<size_t>(count) + 64);
    count = static_cast<int>(groups.size());
  }
  groups.resize(static_cast<size_t>(count));
  std::erase(groups, user->pw_gid);
  groups.insert(groups.begin(), user->pw_gid);
  return groups;
}
#endif

}  // namespace

platform::owner_change posix_platform::become_tree_owner() {
  if (geteuid() != 0) return owner_change::done;
  struct stat tree;
  if (stat(".", &tree) != 0) return owner_change::refused;
  if (tree.st_uid == 0) {
    // Root stays root here, so whoever else can write the tree could lead it anywhere.
    if ((tree.st_mode & (S_IWGRP | S_IWOTH)) != 0) return owner_change::open_to_others;
    guard_paths_ = true;
    return owner_change::done;
  }
  // The owner's own groups. One that the user database does not know gets
  // only the tree's group, and never root's: a tree that root gave away
  // keeps root's group.
  const std::vector<gid_t> groups = groups_of_user(tree.st_uid);
  const gid_t group = groups.empty() ? tree.st_gid : groups.front();
  if (groups.empty() && group == 0) return owner_change::refused;
  // Groups first, while the rights to change them remain. As root, setgid
  // and setuid set the real, effective and saved ids alike, so there is no
  // way back.
  const bool changed = setgroups(groups.size(), groups.data()) == 0 && setgid(group) == 0 &&
                       setuid(tree.st_uid) == 0;
  return changed ? owner_change::done : owner_change::refused;
}
