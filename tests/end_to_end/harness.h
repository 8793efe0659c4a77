// The harness of the end-to-end suite, which runs the built tool as a separate
// process on generated trees and compares every byte it writes. With --windows
// the command is the cross-built .exe under Wine, and the same cases and
// expectations apply. Each file beside this one holds the tests of one concern.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "link_table.h"
#include "test_support.h"

namespace end_to_end {

inline std::vector<std::string> tool_command;  // the tool, after any runner such as wine
inline bool windows_tool = false;

struct outcome {
  int status;
  std::string out;
  std::string err;
};

// The Windows runtime writes CRLF line ends in text mode, and a system message
// that already ends in CRLF comes out as CR CR LF. Fold every run of CRs before
// a LF away, so both builds are held to the same expected bytes.
inline std::string without_carriage_returns(const std::string& text) {
  std::string folded;
  for (size_t i = 0; i < text.size(); ++i) {
    size_t end = i;
    while (end < text.size() && text[end] == '\r') ++end;
    if (end > i && end < text.size() && text[end] == '\n') i = end;
    folded += text[i];
  }
  return folded;
}

// A run of the tool that has been started and not yet waited for.
struct started_run {
  pid_t child;
  std::unique_ptr<scoped_directory> streams;
};

// Standard output goes to out_to where one is named.
inline started_run start_tool(const fs::path& cwd, const std::vector<std::string>& arguments,
                              const fs::path& out_to = {}) {
  auto streams = std::make_unique<scoped_directory>();
  const fs::path out_path = out_to.empty() ? streams->path() / "out" : out_to;
  const fs::path err_path = streams->path() / "err";
  std::vector<std::string> words = tool_command;
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  const pid_t child = fork();
  if (child == 0) {
    setpgid(0, 0);  // a group of its own, for signal_run
    const int in = open("/dev/null", O_RDONLY);
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 ||
        chdir(cwd.c_str()) != 0) {
      _exit(127);
    }
    closefrom(3);  // only the three streams reach the tool, as from a shell
    alarm(30);     // a tool that hangs fails its test instead of holding up the suite
    execvp(argv[0], argv.data());
    _exit(127);
  }
  return {child, std::move(streams)};
}

inline outcome finish_tool(const started_run& run) {
  int status = 0;
  waitpid(run.child, &status, 0);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1,
          without_carriage_returns(read_file(run.streams->path() / "out")),
          without_carriage_returns(read_file(run.streams->path() / "err"))};
}

// Sends signal to a started run and every process it started: Wine runs the
// .exe apart from its start.exe, in the same process group.
inline void signal_run(const started_run& run, int signal) { kill(-run.child, signal); }

inline outcome run_tool(const fs::path& cwd, const std::vector<std::string>& arguments) {
  return finish_tool(start_tool(cwd, arguments));
}

// Puts a command such as strace or setpriv in front of the tool while it lives.
class tool_prefix {
 public:
  explicit tool_prefix(const std::vector<std::string>& words) : saved_(tool_command) {
    tool_command.insert(tool_command.begin(), words.begin(), words.end());
  }
  ~tool_prefix() { tool_command = saved_; }
  tool_prefix(const tool_prefix&) = delete;
  tool_prefix& operator=(const tool_prefix&) = delete;

 private:
  std::vector<std::string> saved_;
};

inline bool have(const std::string& program) {
  return std::system(("command -v " + program + " >/dev/null").c_str()) == 0;
}

// The built-in rows, written out here once more so a changed table shows.
inline const char* const expected_rows[14][2] = {
    {"arm-uclinuxeabi/libc/thumb2/usr/bin/gdbserver",
     "arm-uclinuxeabi/libc/thumb2/usr/lib/bin/gdbserver"},
    {"arm-uclinuxeabi/libc/usr/bin/gdbserver", "arm-uclinuxeabi/libc/usr/lib/bin/gdbserver"},
    {"arm-uclinuxeabi/libc/armv6-m/usr/bin/gdbserver",
     "arm-uclinuxeabi/libc/armv6-m/usr/lib/bin/gdbserver"},
    {"arm-uclinuxeabi/bin/g++.exe", "arm-uclinuxeabi/bin/c++.exe"},
    {"bin/arm-uclinuxeabi-ar.exe", "arm-uclinuxeabi/bin/ar.exe"},
    {"bin/arm-uclinuxeabi-objdump.exe", "arm-uclinuxeabi/bin/objdump.exe"},
    {"bin/arm-uclinuxeabi-ld.real.exe", "arm-uclinuxeabi/bin/ld.real.exe"},
    {"bin/arm-uclinuxeabi-strip.exe", "arm-uclinuxeabi/bin/strip.exe"},
    {"bin/arm-uclinuxeabi-objcopy.exe", "arm-uclinuxeabi/bin/objcopy.exe"},
    {"bin/arm-uclinuxeabi-ranlib.exe", "arm-uclinuxeabi/bin/ranlib.exe"},
    {"bin/arm-uclinuxeabi-g++.exe", "bin/arm-uclinuxeabi-c++.exe"},
    {"bin/arm-uclinuxeabi-nm.exe", "arm-uclinuxeabi/bin/nm.exe"},
    {"bin/arm-uclinuxeabi-as.exe", "arm-uclinuxeabi/bin/as.exe"},
    {"bin/arm-uclinuxeabi-gcc.exe", "bin/arm-uclinuxeabi-gcc-4.4.1.exe"},
};

inline std::string link_line(int row) {
  return std::string("link \"") + expected_rows[row][0] + "\" -> \"" + expected_rows[row][1] +
         "\"\n";
}

// Standard output of a verbose run in which every row ends as a hard link.
inline std::string hard_link_trace() {
  std::string trace = "Verbose mode.\n";
  for (int row = 0; row < 14; ++row) trace += link_line(row) + "processed hardlink\n";
  return trace;
}

// The system's report when a file is missing, and when a hard link would
// cross file systems.
inline std::string missing_file_report() {
  return windows_tool ? "Error(2): File not found.\n" : "Error(2): No such file or directory\n";
}
inline std::string cross_device_report() {
  return windows_tool ? "Error(17): Not same device.\n" : "Error(18): Invalid cross-device link\n";
}

// A temporary file of row 4's name, as a dead run of this platform leaves it,
// and a user's file with a name much like it.
inline std::string dead_runs_file() {
  return std::string(expected_rows[4][0] + 4) + ".link-installer-" +
         (windows_tool ? "00000001-00000000" : "Ab12Cd");
}
inline const std::string users_file = "arm-uclinuxeabi-ar.exe.link-installer-notes.txt";

inline std::string disk_full_report() {
  return windows_tool ? "Error(112): Disk full.\n" : "Error(28): No space left on device\n";
}

// Natively, where strace is, traces each call of a run that could change a
// file, into calls; nothing under Wine, whose own calls would count.
inline std::optional<tool_prefix> watch_writes(const fs::path& calls) {
  if (windows_tool || !have("strace")) return std::nullopt;
  return std::make_optional<tool_prefix>(std::vector<std::string>{
      "strace", "-f", "-qq", "-o", calls.string(), "-E", "ASAN_OPTIONS=detect_leaks=0", "-e",
      "trace=openat,write,unlink,unlinkat,rename,renameat,renameat2,link,linkat,fsync,"
      "fdatasync,fchmod,futimesat,utimensat,ftruncate,copy_file_range,sendfile,ioctl,close"});
}

// The watched run opened files for reading only, and wrote to none of them:
// at most, where bits_may_be_set, it set permission bits that a file system
// without any ignores or refuses.
inline void expect_no_writes(const fs::path& calls, bool bits_may_be_set = false) {
  if (!fs::exists(calls)) return;
  // Writes count to the files it opened; a sanitizer's own pipe is not one.
  std::ifstream lines(calls);
  std::set<std::string> opened;
  for (std::string line; std::getline(lines, line);) {
    // strace pads the process id: "6080  openat(...", "16080 openat(...".
    const size_t call = line.find_first_not_of(' ', line.find(' ')), open = line.find('(', call);
    const std::string name = line.substr(call, open - call);
    const std::string fd = line.substr(open + 1, line.find_first_of(",)", open) - open - 1);
    const std::string result = line.substr(line.rfind(" = ") + 3);
    if (result.rfind("-1", 0) == 0) continue;  // refused: nothing was written
    if (name == "openat") {
      EXPECT_NE(line.find("O_RDONLY"), std::string::npos) << line;
      opened.insert(result.substr(0, result.find(' ')));
    } else if (name == "close") {
      opened.erase(fd);
    } else if (!(bits_may_be_set && name == "fchmod")) {
      EXPECT_TRUE(name == "write" && opened.count(fd) == 0) << line;
    }
  }
}

class EndToEnd : public ::testing::Test {
 protected:
  scoped_directory base;
  fs::path root() const { return base.path() / "toolchain"; }
  void SetUp() override { make_tree(root(), link_table); }
  outcome run(const std::vector<std::string>& arguments) {
    return run_tool(base.path(), arguments);
  }
};

// "bin" on another file system: the eight rows that link into it from
// "arm-uclinuxeabi/bin" must fall back to copies.
class EndToEndAcrossDevices : public EndToEnd {
 protected:
  void SetUp() override {
    EndToEnd::SetUp();
    const fs::path other = other_device_directory();
    if (other.empty()) GTEST_SKIP() << "no directory on another file system was named";
    elsewhere.emplace(other);
    ASSERT_TRUE(move_bin_to(root(), elsewhere->path()));
    struct stat a, b;
    ASSERT_EQ(stat(root().c_str(), &a), 0);
    ASSERT_EQ(stat(elsewhere->path().c_str(), &b), 0);
    if (a.st_dev == b.st_dev) GTEST_SKIP() << other << " is on the same file system as the tree";
  }
  std::optional<scoped_directory> elsewhere;
};

// Whether a copy is under way in dir: a temporary file there holds data. On
// Windows such a file has been marked for deletion already.
inline bool copying(const fs::path& dir) {
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(dir, ignored)) {
    if (entry.path().filename().string().find(".link-installer-") != std::string::npos &&
        entry.file_size(ignored) > 0) {
      return true;
    }
  }
  return false;
}

inline std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// A file system mounted for one test by a shell command, and unmounted when
// the test ends however it ends. The commands find their paths in the
// environment, as $DIR and $IMAGE.
class scoped_mount {
 public:
  // after: what to release once $DIR is unmounted, such as a loop device.
  explicit scoped_mount(const std::string& mount, std::string after = "true")
      : after_(std::move(after)), dir_(environment("DIR")) {
    mounted_ = std::system(("mkdir -p \"$DIR\" && (" + mount + ") >/dev/null 2>&1").c_str()) == 0;
  }
  // A failed test may leave a file open there: then the mount goes lazily.
  // Its own $DIR, whatever a later mount set it to.
  ~scoped_mount() {
    if (!mounted_) return;
    const std::string now = environment("DIR");
    setenv("DIR", dir_.c_str(), 1);
    std::system(("(umount \"$DIR\" || umount -l \"$DIR\"; " + after_ + ") 2>/dev/null").c_str());
    setenv("DIR", now.c_str(), 1);
  }
  scoped_mount(const scoped_mount&) = delete;
  scoped_mount& operator=(const scoped_mount&) = delete;
  bool mounted() const { return mounted_; }

 private:
  std::string after_;
  std::string dir_;
  bool mounted_ = false;
};

// Runs the native tool as an unprivileged user, to meet the permission
// checks that root passes through.
class AsUnprivilegedUser : public EndToEnd {
 protected:
  static constexpr unsigned nobody = 65534;
  void SetUp() override {
    if (windows_tool) GTEST_SKIP() << "Wine will not use a prefix that another user owns";
    if (geteuid() != 0) GTEST_SKIP() << "changing to another user needs root";
    if (!have("setpriv")) GTEST_SKIP() << "no setpriv";
    EndToEnd::SetUp();
    for (const auto& entry : fs::recursive_directory_iterator(root())) {
      ASSERT_EQ(lchown(entry.path().c_str(), nobody, nobody), 0);
    }
    ASSERT_EQ(chown(root().c_str(), nobody, nobody), 0);
    as_nobody.emplace(
        std::vector<std::string>{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
  }
  std::optional<tool_prefix> as_nobody;
};

}  // namespace end_to_end
