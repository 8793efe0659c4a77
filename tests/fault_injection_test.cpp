// Every row of the built-in table, with each platform call it makes failing in
// turn, in quiet and verbose mode, over fresh, finished and stale trees. Each
// run is held to the invariants that keep people's files safe.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "driver.h"
#include "link_table.h"
#include "test_support.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>

#include "posix/posix_platform.h"
#endif

namespace {

enum class point {
  change_directory,
  become_owner,
  lock,
  unsafe_path,
  same_file,
  probe,
  remove,
  hard_link,
  copy_create,
  copy_transfer,
  copy_ends_early,
  publish,
  unnamed_refused,
  compare,
  rename
};

// Names for the trace of a failing combination, in the order of the enum.
const char* const point_names[] = {"change directory", "become owner",  "lock",      "unsafe path",
                                   "same file",        "probe",         "delete",    "hard link",
                                   "copy creation",    "copy transfer", "early end", "publish",
                                   "unnamed refused",  "compare",       "rename"};

bool inside_the_copy(point where) {
  return where == point::copy_transfer || where == point::copy_ends_early ||
         where == point::publish || where == point::unnamed_refused;
}

#ifndef _WIN32
// The real POSIX platform, whose copy can be told to stop halfway through
// its data with a chosen error, as a full disk would; to end early as if the
// kernel saw the end of the file; to be refused its name; or to fail the
// rename of a hard link over an old name.
class interruptible_platform : public posix_platform {
 public:
  std::optional<point> stop_at;
  int error = 0;

  // Stops inside the calls meant for where, with error; or no longer.
  void arm(point where, int with) {
    stop_at = where;
    error = with;
    // The rename of a hard link made beside an old name over it.
    if (where == point::rename) {
      rename_error = with;
      rename_call_ = [](const char*, const char*) {
        errno = rename_error;
        return -1;
      };
    }
  }
  void disarm() {
    stop_at.reset();
    rename_call_ = std::rename;
  }
  static inline int rename_error = 0;

 protected:
  bool copy_contents(int from, int to) override {
    if (stop_at != point::copy_transfer && stop_at != point::copy_ends_early) {
      return posix_platform::copy_contents(from, to);
    }
    char buffer[4096];
    const ssize_t got = read(from, buffer, sizeof buffer);
    const ssize_t half = got / 2;
    if (got > 0 && write(to, buffer, static_cast<size_t>(half)) != half) return false;
    errno = error;
    return stop_at == point::copy_ends_early;
  }
  // A read that fails while an old copy is compared with its target.
  ssize_t read_block(int file, char* buffer, size_t size) override {
    if (stop_at != point::compare) return posix_platform::read_block(file, buffer, size);
    errno = error;
    return -1;
  }
  bool publish(int file, const char* temporary_name, const char* link_name,
               bool replacing) override {
    // The link of the unnamed file is refused as a file system without hard
    // links would; then renaming the temporary file fails, or works.
    if (stop_at == point::publish || stop_at == point::unnamed_refused) {
      if (temporary_name == nullptr) {
        errno = EPERM;
        return false;
      }
      if (stop_at == point::publish) {
        errno = error;
        return false;
      }
    }
    return posix_platform::publish(file, temporary_name, link_name, replacing);
  }
};
#endif

#ifdef _WIN32
constexpr platform::error_code not_same_device = 17;  // ERROR_NOT_SAME_DEVICE
#else
constexpr platform::error_code not_same_device = EXDEV;
#endif

bool links_into_bin_from_elsewhere(const char* link_name, const char* target) {
  return std::strncmp(link_name, "bin/", 4) == 0 && std::strncmp(target, "bin/", 4) != 0;
}

// Passes every call to the real platform, except the one the fault names,
// which fails with the chosen error instead. Where "bin" cannot be put on
// another file system, it can refuse the hard links into it as that would.
class faulty_platform : public platform {
 public:
  faulty_platform(platform& real, point where, std::string path, error_code error,
                  bool refuse_links_into_bin)
      : real_(real),
        where_(where),
        path_(std::move(path)),
        error_(error),
        refuse_links_into_bin_(refuse_links_into_bin) {}

  bool change_directory(const char* path) override {
    return !fault(point::change_directory, path) && real_.change_directory(path);
  }
  owner_change become_tree_owner() override {
    return fault(point::become_owner, path_.c_str()) ? owner_change::refused
                                                     : real_.become_tree_owner();
  }
  bool safe_paths(const char* link_name, const char* target) override {
    return !fault(point::unsafe_path, link_name) && real_.safe_paths(link_name, target);
  }
  lock_result lock_tree(unsigned milliseconds) override {
    waits.push_back(milliseconds);
    return fault(point::lock, path_.c_str()) ? lock_result::busy : real_.lock_tree(milliseconds);
  }
  bool file_present(const char* path) override {
    return !fault(point::probe, path) && real_.file_present(path);
  }
  bool regular_file(const char* path) override {
    return !fault(point::probe, path) && real_.regular_file(path);
  }
  // Failing, it answers "not the same file", and the row is made again.
  bool same_file(const char* link_name, const char* target) override {
    return !fault(point::same_file, link_name) && real_.same_file(link_name, target);
  }
  bool delete_file(const char* path) override {
    deleted.emplace_back(path);
    return !fault(point::remove, path) && real_.delete_file(path);
  }
  bool create_hard_link(const char* link_name, const char* target) override {
    return !link_refused(link_name, target) && real_.create_hard_link(link_name, target);
  }
  // Failing its rename, the real platform stops there on POSIX, with its
  // hard link made; on Windows the fault answers for it.
  replaced replace_by_hard_link(const char* link_name, const char* target) override {
    if (!real_.regular_file(link_name) || !regular_file(target)) return replaced::not_replaced;
    if (link_refused(link_name, target)) return replaced::refused;
#ifndef _WIN32
    const stopped_inside armed(*this, where_ == point::rename && path_ == link_name);
#else
    if (fault(point::rename, link_name)) return replaced::not_replaced;
#endif
    return real_.replace_by_hard_link(link_name, target);
  }
  // Failing, it answers "not the same", as a compare that could not finish must.
  bool same_copy(const char* target, const char* link_name) override {
#ifndef _WIN32
    const stopped_inside armed(*this, where_ == point::compare && path_ == link_name);
    return real_.same_copy(target, link_name);
#else
    return !fault(point::compare, link_name) && real_.same_copy(target, link_name);
#endif
  }
  bool copy_file(const char* target, const char* link_name, bool over_old_name) override {
    if (fault(point::copy_create, link_name)) return false;
#ifndef _WIN32
    const stopped_inside armed(*this, inside_the_copy(where_) && path_ == link_name);
#endif
    return real_.copy_file(target, link_name, over_old_name);
  }
  error_code last_error() override { return injected_ ? *injected_ : real_.last_error(); }
  std::string error_text(error_code code) override { return real_.error_text(code); }

  std::vector<unsigned> waits;  // how long each wait for the lock was to be, in milliseconds
  std::vector<std::string> deleted;  // each path handed to delete_file

 private:
#ifndef _WIN32
  // While it lives, and where armed, the real platform stops inside the call
  // the fault is meant for, with the fault's error.
  class stopped_inside {
   public:
    stopped_inside(faulty_platform& faulty, bool armed)
        : real_(static_cast<interruptible_platform&>(faulty.real_)) {
      if (armed) real_.arm(faulty.where_, static_cast<int>(faulty.error_));
    }
    ~stopped_inside() { real_.disarm(); }
    stopped_inside(const stopped_inside&) = delete;
    stopped_inside& operator=(const stopped_inside&) = delete;

   private:
    interruptible_platform& real_;
  };
#endif

  // Whether a hard link to target at link_name fails here: by the fault, or
  // as another file system would refuse it.
  bool link_refused(const char* link_name, const char* target) {
    if (fault(point::hard_link, link_name)) return true;
    if (refuse_links_into_bin_ && links_into_bin_from_elsewhere(link_name, target)) {
      injected_ = not_same_device;
      return true;
    }
    return false;
  }
  bool fault(point p, const char* path) {
    injected_.reset();
    if (p == where_ && path_ == path) injected_ = error_;
    return injected_.has_value();
  }

  platform& real_;
  point where_;
  std::string path_;
  error_code error_;
  bool refuse_links_into_bin_;
  std::optional<error_code> injected_;
};

enum class tree_state { fresh, finished, stale };

const char* const state_names[] = {"fresh", "finished", "stale"};

std::optional<std::string> content(const fs::path& path) {
  if (!fs::is_regular_file(path)) return std::nullopt;
  return read_file(path);
}

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

std::string last_line(std::string text) {
  if (!text.empty() && text.back() == '\n') text.pop_back();
  const size_t newline = text.rfind('\n');
  return newline == std::string::npos ? text : text.substr(newline + 1);
}

// A generated tree in one of its states. With "bin" on another file system,
// the eight rows that link into it from elsewhere go through the copy; where
// it cannot be put there, those hard links are refused by the fault layer.
class fault_tree {
 public:
  fault_tree(tree_state state, const std::optional<scoped_directory>& elsewhere) {
    make_tree(root, link_table);
    if (elsewhere) {
      bin_home.emplace(elsewhere->path());
      simulated_copies = !move_bin_to(root, bin_home->path());
    } else {
      simulated_copies = true;
    }
    for (const link_entry& entry : link_table) {
      if (state == tree_state::finished &&
          !links_into_bin_from_elsewhere(entry.link_name, entry.target)) {
        fs::create_hard_link(root / entry.target, root / entry.link_name);
      } else if (state == tree_state::finished) {
        // The very copy a run makes, which a rerun keeps.
        native_platform().copy_file((root / entry.target).string().c_str(),
                                    (root / entry.link_name).string().c_str(), false);
      } else if (state == tree_state::stale) {
        write_file(root / entry.link_name, "stale");
      }
      before[entry.link_name] = content(root / entry.link_name);
#ifndef _WIN32
      struct stat status {};
      stat((root / entry.link_name).c_str(), &status);
      file_before[entry.link_name] = status.st_ino;
#endif
    }
  }

  static bool copy_row(int row) {
    return links_into_bin_from_elsewhere(link_table[row].link_name, link_table[row].target);
  }

  scoped_directory base;
  fs::path root = base.path() / "tree";
  std::optional<scoped_directory> bin_home;
  bool simulated_copies = false;
  std::map<std::string, std::optional<std::string>> before;
#ifndef _WIN32
  std::map<std::string, ino_t> file_before;  // which file each name was
#endif
};

struct fault {
  tree_state state;
  int row;  // -1 for the change of directory and of identity, and the lock
  point where;
};

// Whether row r goes on past the same-file check: a finished tree's hard
// links are found done, unless that check is the one that fails.
bool made_again(const fault& f, int r) {
  return f.state != tree_state::finished || fault_tree::copy_row(r) ||
         (r == f.row && f.where == point::same_file);
}

// Whether row r keeps the copy it finds: a finished tree's copies are what a
// run would make, unless the compare or the target's probe fails.
bool kept(const fault& f, int r) {
  return f.state == tree_state::finished && fault_tree::copy_row(r) &&
         !(r == f.row && (f.where == point::compare || f.where == point::probe));
}

// The row that must fail, or -1. The old name stays in place when the probe
// fails, so the link and then the copy both meet it. An old name is renamed
// over, by a hard link or a copy, never deleted: only a fresh tree's rows
// clear their names first, and fail where that fails.
int failing_row(const fault& f, const fault_tree& tree) {
  if (f.row < 0) return 0;
  if (f.where == point::unsafe_path) return f.row;  // refused before anything is looked at
  if (!made_again(f, f.row) || kept(f, f.row) || f.where == point::unnamed_refused) return -1;
  if (f.where == point::remove) return f.state == tree_state::fresh ? f.row : -1;
  if (f.where == point::probe) return f.state == tree_state::fresh ? -1 : f.row;
  if (f.where == point::copy_create || inside_the_copy(f.where)) {
    return tree.copy_row(f.row) ? f.row : -1;
  }
  return -1;
}

// With -v one report for each refused hard link; then the failed call's.
size_t expected_reports(const fault& f, const fault_tree& tree, int failing, bool verbose) {
  if (f.row < 0) return 0;
  size_t reports = failing >= 0 ? 1 : 0;
  const int handled = failing >= 0 ? failing + 1 : 14;
  for (int r = 0; verbose && r < handled; ++r) {
    // Refused before any link, by the path's guard or a delete that failed.
    const bool stopped_first =
        r == f.row && (f.where == point::unsafe_path || (r == failing && f.where == point::remove));
    if (!stopped_first && made_again(f, r) &&
        (tree.copy_row(r) || (r == f.row && (f.where == point::hard_link || r == failing)))) {
      ++reports;
    }
  }
  return reports;
}

void check_names(const fault& f, const fault_tree& tree, int failing,
                 const std::vector<std::string>& deleted) {
  for (int r = 0; r < 14; ++r) {
    const link_entry& entry = link_table[r];
    // An old name is never absent: it is not deleted first, unless the
    // rename of a hard link over it failed.
    if (f.state == tree_state::stale && (tree.copy_row(r) || r != f.row)) {
      EXPECT_EQ(std::count(deleted.begin(), deleted.end(), entry.link_name), 0)
          << "deleted " << entry.link_name;
    }
    const std::optional<std::string> now = content(tree.root / entry.link_name);
    const std::optional<std::string>& before = tree.before.at(entry.link_name);
    EXPECT_EQ(content(tree.root / entry.target), program_content(entry.target)) << entry.target;
    if (f.row >= 0 && r < (failing >= 0 ? failing : 14)) {
      EXPECT_EQ(now, program_content(entry.target)) << "handled " << entry.link_name;
    } else if (f.row >= 0 && r == failing) {
      // A failed row leaves its old name as it was, bytes included, and
      // never part of a program.
      EXPECT_EQ(now, before) << "failed " << entry.link_name;
    } else {
      EXPECT_EQ(now, before) << "untouched " << entry.link_name;
    }
  }
#ifndef _WIN32
  // A copy that could not be compared in full is never kept.
  if (f.where == point::compare && f.state == tree_state::finished && tree.copy_row(f.row)) {
    struct stat status {};
    stat((tree.root / link_table[f.row].link_name).c_str(), &status);
    EXPECT_NE(status.st_ino, tree.file_before.at(link_table[f.row].link_name));
  }
#endif
  // Nor may a copy leave its temporary file behind.
  for (const fs::path& dir : {tree.root, tree.bin_home ? tree.bin_home->path() : tree.root}) {
    EXPECT_EQ(leftovers(dir), std::vector<std::string>{}) << dir;
  }
}

TEST(FaultInjection, EveryRowEveryFailurePointKeepsFilesSafe) {
#ifdef _WIN32
  platform& real = native_platform();
  const std::vector<platform::error_code> errors = {5 /* access denied */, 112 /* disk full */};
#else
  interruptible_platform real;
  const std::vector<platform::error_code> errors = {EIO, ENOSPC};
#endif
  const fs::path other = other_device_directory();
  std::optional<scoped_directory> elsewhere;
  if (!other.empty()) elsewhere.emplace(other);

  std::vector<point> points = {point::same_file,   point::probe,   point::remove, point::hard_link,
                               point::copy_create, point::compare, point::rename};
  // Only POSIX guards a root run's paths; Wine's runs are slow enough without.
#ifndef _WIN32
  points.insert(points.end(), {point::unsafe_path, point::copy_transfer, point::copy_ends_early,
                               point::publish, point::unnamed_refused});
#endif
  int combinations = 0;
  bool simulated = false;
  for (const tree_state state : {tree_state::fresh, tree_state::finished, tree_state::stale}) {
    for (const bool verbose : {false, true}) {
      for (const platform::error_code error : errors) {
        for (int row = -1; row < 14; ++row) {
          for (const point where : row < 0 ? std::vector<point>{point::change_directory,
                                                                point::become_owner, point::lock}
                                           : points) {
            const fault f{state, row, where};
            SCOPED_TRACE(std::string(state_names[static_cast<int>(state)]) +
                         (verbose ? " verbose" : " quiet") + " error " + std::to_string(error) +
                         " row " + std::to_string(row) + " at " +
                         point_names[static_cast<int>(where)]);
            const fault_tree tree(state, elsewhere);
            simulated = tree.simulated_copies;
            const std::string root = tree.root.string();
            std::string fault_path = root;
            if (row >= 0)
              fault_path =
                  where == point::probe ? link_table[row].target : link_table[row].link_name;
            faulty_platform faulty(real, where, fault_path, error, tree.simulated_copies);
            scoped_directory streams;
            captured_stream out(streams.path() / "out");
            captured_stream err(streams.path() / "err");
            int status = 0;
            {
              working_directory_guard cwd;
              const char* argv[] = {"link-installer", root.c_str(), "-v"};
              status =
                  run_installer(verbose ? 3 : 2, argv, link_table, faulty, out.get(), err.get());
            }
            ++combinations;

            const int failing = failing_row(f, tree);
            const std::string errors_written = err.text();
            EXPECT_EQ(status, failing >= 0 ? 1 : 0);
            if (row < 0) {
              // A lock held by another run all the time: one line to say so, one to give up.
              const std::string quoted = "\"" + root + "\"\n";
              EXPECT_EQ(errors_written, where == point::change_directory
                                            ? "unable to _chdir to " + quoted
                                        : where == point::become_owner
                                            ? "unable to act as the owner of " + quoted
                                            : "waiting for another run on " + quoted +
                                                  "gave up waiting for another run on " + quoted);
              EXPECT_EQ(out.text(), "");
              // A wait for the lock is always bounded: a second, then five minutes.
              if (where == point::lock) {
                EXPECT_EQ(faulty.waits, (std::vector<unsigned>{1000, 300000}));
              }
            } else if (failing >= 0) {
              const link_entry& entry = link_table[failing];
              EXPECT_EQ(last_line(errors_written), std::string("creating link ") + entry.link_name +
                                                       " to " + entry.target + " failed");
            }
            EXPECT_EQ(count(errors_written, "Error("), expected_reports(f, tree, failing, verbose))
                << errors_written;
            check_names(f, tree, failing, faulty.deleted);
            if (HasFailure()) {
              std::printf("stopping after the first failing combination\n");
              return;
            }
          }
        }
      }
    }
  }
  std::printf(
      "fault injection: %d combinations ran, eight rows each copying, %s\n", combinations,
      simulated ? "hard links into bin refused by the fault layer" : "bin on another file system");
  EXPECT_GT(combinations, 14 * 5 * 2 * 2 * 3);
}

}  // namespace
