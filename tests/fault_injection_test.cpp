// Every row of the built-in table, with each platform call it makes failing in
// turn, in quiet and verbose mode, over fresh, finished and stale trees. Each
// run is held to the invariants that keep people's files safe.
#include <gtest/gtest.h>

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
#include <unistd.h>

#include "platform_posix.h"
#endif

namespace {

enum class point { change_directory, probe, remove, hard_link, copy_create, copy_transfer };

const char* name_of(point p) {
  switch (p) {
    case point::change_directory:
      return "change directory";
    case point::probe:
      return "probe";
    case point::remove:
      return "delete";
    case point::hard_link:
      return "hard link";
    case point::copy_create:
      return "copy creation";
    case point::copy_transfer:
      return "copy transfer";
  }
  return "?";
}

#ifndef _WIN32
// The real POSIX platform, whose copy can be told to stop halfway through
// its data with a chosen error, as a full disk would.
class interruptible_platform : public posix_platform {
 public:
  std::optional<int> stop_with;

 protected:
  bool copy_contents(int from, int to) override {
    if (!stop_with) return posix_platform::copy_contents(from, to);
    char buffer[4096];
    const ssize_t got = read(from, buffer, sizeof buffer / 2);
    if (got > 0 && write(to, buffer, static_cast<size_t>(got)) != got) return false;
    errno = *stop_with;
    return false;
  }
};
#endif

// Passes every call to the real platform, except the one the fault names,
// which fails with the chosen error instead.
class faulty_platform : public platform {
 public:
  faulty_platform(platform& real, point where, std::string path, error_code error)
      : real_(real), where_(where), path_(std::move(path)), error_(error) {}

  bool change_directory(const char* path) override {
    return !fault(point::change_directory, path) && real_.change_directory(path);
  }
  bool file_present(const char* path) override {
    return !fault(point::probe, path) && real_.file_present(path);
  }
  void delete_file(const char* path) override {
    if (!fault(point::remove, path)) real_.delete_file(path);
  }
  bool create_hard_link(const char* link_name, const char* target) override {
    return !fault(point::hard_link, link_name) && real_.create_hard_link(link_name, target);
  }
  bool copy_file(const char* target, const char* link_name) override {
    if (fault(point::copy_create, link_name)) return false;
#ifndef _WIN32
    auto& interruptible = static_cast<interruptible_platform&>(real_);
    if (where_ == point::copy_transfer && path_ == link_name) interruptible.stop_with = error_;
    const bool copied = real_.copy_file(target, link_name);
    interruptible.stop_with.reset();
    return copied;
#else
    return real_.copy_file(target, link_name);
#endif
  }
  error_code last_error() override { return faulted_ ? error_ : real_.last_error(); }
  std::string error_text(error_code code) override { return real_.error_text(code); }

 private:
  bool fault(point p, const char* path) {
    faulted_ = p == where_ && path_ == path;
    return faulted_;
  }

  platform& real_;
  point where_;
  std::string path_;
  error_code error_;
  bool faulted_ = false;
};

enum class tree_state { fresh, finished, stale };

const char* name_of(tree_state state) {
  switch (state) {
    case tree_state::fresh:
      return "fresh";
    case tree_state::finished:
      return "finished";
    case tree_state::stale:
      return "stale";
  }
  return "?";
}

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

  std::vector<point> points = {point::probe, point::remove, point::hard_link, point::copy_create};
#ifndef _WIN32
  points.push_back(point::copy_transfer);
#endif
  int combinations = 0;
  for (const tree_state state : {tree_state::fresh, tree_state::finished, tree_state::stale}) {
    for (const bool verbose : {false, true}) {
      for (const platform::error_code error : errors) {
        for (int row = -1; row < 14; ++row) {
          for (const point where : row < 0 ? std::vector<point>{point::change_directory} : points) {
            scoped_directory base;
            const fs::path root = base.path() / "tree";
            make_tree(root, link_table);
            // With "bin" on another file system the eight rows that link into
            // it from elsewhere go through the copy.
            std::optional<scoped_directory> bin_home;
            bool copies = false;
            if (elsewhere) {
              bin_home.emplace(elsewhere->path());
              fs::copy(root / "bin", bin_home->path() / "bin", fs::copy_options::recursive);
              fs::remove_all(root / "bin");
              std::error_code no_symlinks;
              fs::create_directory_symlink(bin_home->path() / "bin", root / "bin", no_symlinks);
              if (no_symlinks) {
                fs::copy(bin_home->path() / "bin", root / "bin", fs::copy_options::recursive);
              } else {
                copies = true;
              }
            }
            for (const link_entry& entry : link_table) {
              if (state == tree_state::finished) {
                ASSERT_TRUE(native_platform().copy_file((root / entry.target).string().c_str(),
                                                        (root / entry.link_name).string().c_str()));
              } else if (state == tree_state::stale) {
                write_file(root / entry.link_name, "stale");
              }
            }
            std::map<std::string, std::optional<std::string>> before;
            for (const link_entry& entry : link_table) {
              before[entry.link_name] = content(root / entry.link_name);
            }

            const std::string root_arg = root.string();
            const char* fault_path = row < 0 ? root_arg.c_str() : link_table[row].link_name;
            if (row >= 0 && where == point::probe) fault_path = link_table[row].target;
            faulty_platform faulty(real, where, fault_path, error);
            scoped_directory streams;
            captured_stream out(streams.path() / "out");
            captured_stream err(streams.path() / "err");
            working_directory_guard cwd;
            const char* argv[] = {"link-installer", root_arg.c_str(), "-v"};
            const int status =
                run_installer(verbose ? 3 : 2, argv, link_table, faulty, out.get(), err.get());
            const std::string errors_written = err.text();
            ++combinations;

            SCOPED_TRACE(std::string(name_of(state)) + (verbose ? " verbose" : " quiet") +
                         " error " + std::to_string(error) + " row " + std::to_string(row) +
                         " at " + name_of(where));
            const auto copy_row = [&](int r) {
              return copies && std::strncmp(link_table[r].link_name, "bin/", 4) == 0 &&
                     std::strncmp(link_table[r].target, "bin/", 4) != 0;
            };
            // Which row must fail: the old name stays in place when the probe
            // or the delete fails, so the link and the copy both meet it.
            int failing = -1;
            if (row < 0) {
              failing = 0;
            } else if (where == point::probe || where == point::remove) {
              if (state != tree_state::fresh) failing = row;
            } else if (where == point::copy_create || where == point::copy_transfer) {
              if (copy_row(row)) failing = row;
            }
            EXPECT_EQ(status, failing >= 0 ? 1 : 0);
            if (row < 0) {
              EXPECT_EQ(errors_written, "unable to _chdir to \"" + root_arg + "\"\n");
              EXPECT_EQ(out.text(), "");
            } else if (failing >= 0) {
              const link_entry& entry = link_table[failing];
              EXPECT_EQ(last_line(errors_written), std::string("creating link ") + entry.link_name +
                                                       " to " + entry.target + " failed");
            }
            // Reports: with -v one for each refused hard link, then the copy's.
            size_t reports = 0;
            const int handled = failing >= 0 ? failing + 1 : (row < 0 ? 0 : 14);
            for (int r = 0; r < handled && row >= 0; ++r) {
              const bool link_refused =
                  copy_row(r) || (r == row && (where == point::hard_link || r == failing));
              if (verbose && link_refused) ++reports;
            }
            if (failing >= 0 && row >= 0) ++reports;
            EXPECT_EQ(count(errors_written, "Error("), reports) << errors_written;

            for (int r = 0; r < 14; ++r) {
              const link_entry& entry = link_table[r];
              const std::optional<std::string> now = content(root / entry.link_name);
              if (row >= 0 && r < (failing >= 0 ? failing : 14)) {
                EXPECT_EQ(now, program_content(entry.target)) << entry.link_name;
              } else if (r == failing && row >= 0 && now != before[entry.link_name]) {
                // Only the delete of a present target may take the old name,
                // and a failed copy may never leave part of a program.
                EXPECT_EQ(now, std::nullopt) << entry.link_name;
                EXPECT_TRUE(where == point::copy_create || where == point::copy_transfer);
              } else if (r != failing || row < 0) {
                EXPECT_EQ(now, before[entry.link_name]) << entry.link_name;
              }
              EXPECT_EQ(content(root / entry.target), program_content(entry.target));
            }
            if (HasFailure()) {
              std::printf("stopping after the first failing combination\n");
              return;
            }
          }
        }
      }
    }
  }
  std::printf("fault injection: %d combinations ran\n", combinations);
  EXPECT_GT(combinations, 14 * 4 * 2 * 2 * 3);
}

}  // namespace
