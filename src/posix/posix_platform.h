// The POSIX platform class, shared by its rooms: posix_platform.cpp (the small
// calls, the lock, the error texts), copy.cpp and transfer.cpp (the copy),
// compare.cpp (an old copy kept, or replaced by a hard link in one step), and
// owner.cpp, safe_path.cpp and mount_owner.cpp (a root run). Tests derive from
// it to fail a copy, a comparison or a rename midway.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdio>

#include "platform.h"

// How one way of copying went: done, not offered here (try the next way),
// or a real failure, with errno set.
enum class copy_outcome { done, refused, failed };

// The devices a root run's path walk has found to be nobody else's mount, so
// that it reads the mount table once for each.
struct checked_devices {
  dev_t devices[8]{};
  size_t count = 0;
};

// Who mounted the file system on device, which path is on, where that is
// what counts: not_fuse for a file system whose owners its server cannot
// choose; known, with user set, for a FUSE mount the kernel names the
// mounting user of; unknown, with errno set, where that cannot be told.
enum class mounter { not_fuse, known, unknown };
mounter fuse_mounter(dev_t device, const char* path, uid_t& user);

// Whether the file system on device, which path is on, was mounted by
// another user than root, or could not be told apart from one: then errno
// says why (owned_by_others for another user's FUSE mount).
bool mounted_by_others(dev_t device, const char* path);

// What a temporary file's name says after the name it stands beside: whose it
// is. Then come six letters or digits.
constexpr char temporary_infix[] = ".link-installer-";

// Gives the file at path, followed, a second name beside link_name: the
// temporary infix and six letters or digits, free until now. That name, in a
// buffer of its own until the next call; null with errno set on failure.
char* link_beside(const char* path, const char* link_name);

// Whether error is the kernel's way of saying "this way of copying or naming
// is not offered here", as opposed to a real failure of the data or the disk.
bool refused_here(int error);

// Whether the permission bits or times just refused on the open file, with
// errno set, are ones its file system cannot hold, rather than a failure.
bool not_held_here(int file);

// Whether path, whose lstat is status, is a directory or a symbolic link to
// one: no program's second name, and maybe on a target's own path.
bool leads_to_directory(const char* path, const struct stat& status);

class posix_platform : public platform {
 public:
  // Failures the kernel has no errno for, given codes beyond its range.
  static constexpr error_code not_regular_file = 4096;
  static constexpr error_code copy_incomplete = 4097;
  static constexpr error_code writable_by_others = 4098;
  static constexpr error_code owned_by_others = 4099;

  bool change_directory(const char* path) override;
  owner_change become_tree_owner() override;
  bool safe_paths(const char* link_name, const char* target) override;
  lock_result lock_tree(unsigned milliseconds) override;
  bool file_present(const char* path) override;
  bool regular_file(const char* path) override;
  bool same_file(const char* link_name, const char* target) override;
  bool delete_file(const char* path) override;
  bool create_hard_link(const char* link_name, const char* target) override;
  replaced replace_by_hard_link(const char* link_name, const char* target) override;
  bool same_copy(const char* target, const char* link_name) override;
  bool copy_file(const char* target, const char* link_name, bool over_old_name) override;
  error_code last_error() override;
  std::string error_text(error_code code) override;

 protected:
  // Moves every byte of the open file from into the new file to, in the
  // kernel where it can; false with errno set on failure.
  virtual bool copy_contents(int from, int to);
  // Gives the complete copy in file its name: by a link when the file is
  // unnamed (temporary_name is null), else by renaming temporary_name. Never
  // replaces an existing name, unless replacing: then the copy, named beside
  // the old file if it has no name yet, is renamed over it.
  virtual bool publish(int file, const char* temporary_name, const char* link_name, bool replacing);
  // Reads up to size bytes, as many as the file still holds; -1 with errno
  // set on failure.
  virtual ssize_t read_block(int file, char* buffer, size_t size);
  // rename(2), called through here so that tests can fail it midway; a
  // pointer rather than a virtual call, as it is made for every row.
  int (*rename_call_)(const char* from, const char* to) = std::rename;

 private:
  copy_outcome copy_into(int from, const struct stat& status, const char* link_name, bool unnamed,
                         bool replacing);
  // Removes what killed runs left beside link_name, while this run holds the
  // tree's lock, so that none of it is a live run's: this user's files, and
  // names of target's own file, whoever owns them, but the one it leads to.
  void remove_leftovers(const char* link_name, const char* target) const;
  // Whether the two open files hold the same bytes, reading each once.
  bool contents_equal(int from, int copy);

  int tree_root_ = -1;        // the tree root, opened on the way in with the caller's rights
  int tree_root_error_ = 0;   // why it could not be opened
  bool tree_locked_ = false;  // whether this run holds its lock, and so may sweep dead runs' files
  bool guard_paths_ = false;  // whether root stayed root on root's tree, and so guards its paths
  checked_devices devices_;   // the file systems the guard has found to be root's
  // What same_file last saw of a row's name and target, so that replacing
  // the name right after needs no look of its own: nothing changed them since.
  struct seen_row {
    const char* link_name;  // null once used
    const char* target;
    bool regular;        // both are regular files
    bool apart;          // and two files, not one
    bool target_shared;  // the target has more names than one
  };
  seen_row seen_{};
};
