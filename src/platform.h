// The tool's only window onto the operating system. Windows and POSIX differ
// behind this interface alone, and tests can stand in for any call here.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

class platform {
 public:
  using error_code = std::uint32_t;
  // How a run stands towards the tree it was given: free to go on, unable to
  // act as the tree's owner, or run by root on a root-owned tree that other
  // users can write, which it refuses.
  enum class owner_change { done, refused, open_to_others };

  virtual ~platform() = default;

  // Makes path the working directory.
  virtual bool change_directory(const char* path) = 0;
  // Run by root on a working directory that another user owns, takes on that
  // user's identity and own groups for good, so the tree cannot lead the run
  // beyond that user's rights. Run by root on root's own tree, refuses one
  // that others can write, and guards every path after (safe_paths).
  virtual owner_change become_tree_owner() = 0;
  // Whether the run may follow link_name's directory and target: false, with
  // an error of the platform's own, where a run that stayed root would pass
  // something that another user could have planted. True for every other run.
  virtual bool safe_paths(const char* link_name, const char* target) = 0;
  // How a wait for the tree's lock ended: held by this run, or offered by no
  // lock on this file system, and so free to go on; held by another run all
  // the time; or not to be had for another reason, with the error set.
  enum class lock_result { go_on, busy, failed };

  // Waits up to milliseconds until no other run holds the tree that the
  // working directory was changed into, then holds it until the process ends
  // or the directory is changed again.
  virtual lock_result lock_tree(unsigned milliseconds) = 0;
  // Whether path names something that exists and is not a directory. Needs no
  // read access, so an unreadable program still counts as present.
  virtual bool file_present(const char* path) = 0;
  // Whether path, followed, is a regular file: the only kind of file a second
  // name is made for, and so the only one an old second name is given up for.
  virtual bool regular_file(const char* path) = 0;
  // Whether link_name already leads to the very file that target names, both
  // followed through symbolic links. False when either is missing.
  virtual bool same_file(const char* link_name, const char* target) = 0;
  // Removes a file, never a directory: true once no file has the name, false
  // with the error set where it stays.
  virtual bool delete_file(const char* path) = 0;
  // Makes link_name a second directory entry for the file target, which
  // must be a regular file or a symbolic link to one.
  virtual bool create_hard_link(const char* link_name, const char* target) = 0;
  // How replace_by_hard_link ended: link_name is now a hard link to target;
  // the hard link was refused there, with the refusal's error; or there was
  // no regular file to replace, or the link could not take its name. Only
  // done changes anything.
  enum class replaced { done, refused, not_replaced };
  // Where target, followed, is a regular file and link_name is one too (on
  // POSIX, any file but a directory), makes link_name a hard link to target
  // with no moment in which the name is absent: a hard link made under a
  // temporary name beside it is renamed over it.
  virtual replaced replace_by_hard_link(const char* link_name, const char* target) = 0;
  // Whether link_name is itself a regular file that is exactly what
  // copy_file would make of target now: the same bytes, and all that the
  // copy carries over. False wherever that cannot be told in full.
  virtual bool same_copy(const char* target, const char* link_name) = 0;
  // Copies target to link_name, failing if link_name exists, unless
  // over_old_name: then a file there, never a directory, is replaced in one
  // rename, so that the name is never absent. The copy gets its name only
  // once it is complete, and a failed copy removes what it made and leaves
  // an old name as it was, so no truncated program is ever left behind.
  virtual bool copy_file(const char* target, const char* link_name, bool over_old_name) = 0;
  // The error of the calling thread's most recent failed call.
  virtual error_code last_error() = 0;
  // The system's text for code, with its own line end; empty when there is none.
  virtual std::string error_text(error_code code) = 0;
};

// The real system calls of the platform the tool was built for.
platform& native_platform();

// Whether a first argument asks for the usage rather than naming a tree:
// "--help" and "-h", and on Windows also "/?".
bool asks_for_help(const char* argument);

// Writes text, which is UTF-8, to stream as its reader expects it: the bytes
// as they stand into a file or a pipe, and on Windows the characters
// themselves onto a console, whatever the console's code page.
void write_text(std::FILE* stream, std::string_view text);
// Whether all that was written to stream has reached it, once flushed: false,
// with the error set, where some of it was lost.
bool text_delivered(std::FILE* stream);
