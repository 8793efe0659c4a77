// A root run on a tree that another user owns takes on that user's identity
// and own groups for good, so the tree cannot lead it beyond that user's rights.
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "posix/posix_platform.h"

namespace {

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
