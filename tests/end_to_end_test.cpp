// Runs the built tool as a separate process on generated trees and compares
// every byte it writes. With --windows the command is the cross-built .exe
// under Wine, and the same cases and expectations apply.
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

namespace {

std::vector<std::string> tool_command;  // the tool, after any runner such as wine
bool windows_tool = false;

struct outcome {
  int status;
  std::string out;
  std::string err;
};

// The Windows runtime writes CRLF line ends in text mode, and a system message
// that already ends in CRLF comes out as CR CR LF. Fold every run of CRs before
// a LF away, so both builds are held to the same expected bytes.
std::string without_carriage_returns(const std::string& text) {
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
started_run start_tool(const fs::path& cwd, const std::vector<std::string>& arguments,
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

outcome finish_tool(const started_run& run) {
  int status = 0;
  waitpid(run.child, &status, 0);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1,
          without_carriage_returns(read_file(run.streams->path() / "out")),
          without_carriage_returns(read_file(run.streams->path() / "err"))};
}

// Sends signal to a started run and every process it started: Wine runs the
// .exe apart from its start.exe, in the same process group.
void signal_run(const started_run& run, int signal) { kill(-run.child, signal); }

outcome run_tool(const fs::path& cwd, const std::vector<std::string>& arguments) {
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

bool have(const std::string& program) {
  return std::system(("command -v " + program + " >/dev/null").c_str()) == 0;
}

// The built-in rows, written out here once more so a changed table shows.
const char* const expected_rows[14][2] = {
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

std::string link_line(int row) {
  return std::string("link \"") + expected_rows[row][0] + "\" -> \"" + expected_rows[row][1] +
         "\"\n";
}

// Standard output of a verbose run in which every row ends as a hard link.
std::string hard_link_trace() {
  std::string trace = "Verbose mode.\n";
  for (int row = 0; row < 14; ++row) trace += link_line(row) + "processed hardlink\n";
  return trace;
}

// The system's report when a file is missing, and when a hard link would
// cross file systems.
std::string missing_file_report() {
  return windows_tool ? "Error(2): File not found.\n" : "Error(2): No such file or directory\n";
}
std::string cross_device_report() {
  return windows_tool ? "Error(17): Not same device.\n" : "Error(18): Invalid cross-device link\n";
}

// A temporary file of row 4's name, as a dead run of this platform leaves it,
// and a user's file with a name much like it.
std::string dead_runs_file() {
  return std::string(expected_rows[4][0] + 4) + ".link-installer-" +
         (windows_tool ? "00000001-00000000" : "Ab12Cd");
}
const std::string users_file = "arm-uclinuxeabi-ar.exe.link-installer-notes.txt";

std::string disk_full_report() {
  return windows_tool ? "Error(112): Disk full.\n" : "Error(28): No space left on device\n";
}

// Natively, where strace is, traces each call of a run that could change a
// file, into calls; nothing under Wine, whose own calls would count.
std::optional<tool_prefix> watch_writes(const fs::path& calls) {
  if (windows_tool || !have("strace")) return std::nullopt;
  return std::make_optional<tool_prefix>(std::vector<std::string>{
      "strace", "-f", "-qq", "-o", calls.string(), "-E", "ASAN_OPTIONS=detect_leaks=0", "-e",
      "trace=openat,write,unlink,unlinkat,rename,renameat,renameat2,link,linkat,fsync,"
      "fdatasync,fchmod,futimesat,utimensat,ftruncate,copy_file_range,sendfile,ioctl,close"});
}

// The watched run opened files for reading only, and wrote to none of them:
// at most, where bits_may_be_set, it set permission bits that a file system
// without any ignores or refuses.
void expect_no_writes(const fs::path& calls, bool bits_may_be_set = false) {
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

TEST_F(EndToEnd, NoArgument) {
  const outcome result = run({});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "missing arguments\n");
}

TEST_F(EndToEnd, MissingRootWithVerboseSwitch) {
  const outcome result = run({"elsewhere", "-v"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "unable to _chdir to \"elsewhere\"\n");
}

TEST_F(EndToEnd, QuietRunLinksEveryRowAndWritesNothing) {
  const outcome result = run({"toolchain"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "");
  for (const auto& row : expected_rows) {
    EXPECT_TRUE(fs::equivalent(root() / row[0], root() / row[1])) << row[0];
  }
}

// The first pass replaces old second names that are files of their own (a
// tree copied by a tool that breaks hard links): each becomes its hard link
// in one step, and natively strace sees none of them removed first.
TEST_F(EndToEnd, VerboseRunTracesTheTableInOrderTwice) {
  for (const auto& row : expected_rows) write_file(root() / row[0], "an older program");
  const fs::path calls = base.path() / "calls";
  std::optional<tool_prefix> traced;
  if (!windows_tool && have("strace")) {
    traced.emplace(std::vector<std::string>{"strace", "-f", "-qq", "-o", calls.string(), "-E",
                                            "ASAN_OPTIONS=detect_leaks=0", "-e",
                                            "trace=unlink,unlinkat,rename,renameat,renameat2"});
  }
  for (int pass = 0; pass < 2; ++pass) {
    const outcome result = run({"toolchain", "-v", "ignored"});
    traced.reset();
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, hard_link_trace());
    EXPECT_EQ(result.err, "");
  }
  EXPECT_EQ(fs::hard_link_count(root() / expected_rows[13][1]), 2u);
  if (fs::exists(calls)) {
    const std::string made = read_file(calls);
    for (const auto& row : expected_rows) {
      const std::string name = std::string("\"") + row[0] + "\"";
      EXPECT_EQ(made.find("unlink(" + name), std::string::npos) << made;
      EXPECT_EQ(made.find(", " + name + ", 0)"), std::string::npos) << made;  // unlinkat
      EXPECT_NE(made.find(", " + name + ")"), std::string::npos) << made;     // renamed over
    }
  }
}

TEST_F(EndToEnd, MissingTargetStopsTheRunAndKeepsItsName) {
  fs::remove(root() / expected_rows[13][1]);
  write_file(root() / expected_rows[13][0], "the only gcc left");
  const outcome result = run({"toolchain", "-v"});
  EXPECT_EQ(result.status, 1);
  std::string expected = "Verbose mode.\n";
  for (int row = 0; row < 14; ++row) expected += link_line(row);
  for (int row = 0; row < 13; ++row) {
    const std::string line = link_line(row);
    expected.insert(expected.find(line) + line.size(), "processed hardlink\n");
  }
  EXPECT_EQ(result.out, expected);
  EXPECT_EQ(result.err, missing_file_report() + missing_file_report() +
                            "creating link bin/arm-uclinuxeabi-gcc.exe to "
                            "bin/arm-uclinuxeabi-gcc-4.4.1.exe failed\n");
  EXPECT_EQ(read_file(root() / expected_rows[13][0]), "the only gcc left");
}

// Trees where a target leads back to its own second name: the name already
// is the program, and deleting it would lose the only copy.
TEST_F(EndToEnd, TargetThatLeadsBackToItsNameIsKept) {
  // The second name made by hand the other way round, or by an archiver
  // that turned hard links into symbolic ones.
  fs::rename(root() / expected_rows[13][1], root() / expected_rows[13][0]);
  fs::create_symlink("arm-uclinuxeabi-gcc.exe", root() / expected_rows[13][1]);
  // One directory aliased to the other: target and name are one entry.
  const fs::path variant = root() / "arm-uclinuxeabi/libc/usr";
  fs::rename(root() / expected_rows[1][1], root() / expected_rows[1][0]);
  fs::remove(variant / "lib/bin");
  fs::create_directory_symlink("../bin", variant / "lib/bin");
  // The target is a symbolic link to its own second name, which is a
  // symbolic link on to the program: deleting the name would cut the target off.
  fs::rename(root() / expected_rows[10][1], root() / "real-g++");
  fs::create_symlink("../real-g++", root() / expected_rows[10][0]);
  fs::create_symlink("arm-uclinuxeabi-g++.exe", root() / expected_rows[10][1]);

  const outcome result = run({"toolchain", "-v"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, hard_link_trace());
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(read_file(root() / expected_rows[13][0]),
            program_content("bin/arm-uclinuxeabi-gcc-4.4.1.exe"));
  EXPECT_EQ(read_file(root() / expected_rows[1][0]),
            program_content("arm-uclinuxeabi/libc/usr/lib/bin/gdbserver"));
  EXPECT_TRUE(fs::is_symlink(root() / expected_rows[10][0]));
  EXPECT_EQ(read_file(root() / expected_rows[10][1]), program_content(expected_rows[10][1]));
}

TEST_F(EndToEnd, DirectoryAtFirstNameStopsTheRunAtOnce) {
  fs::create_directories(root() / expected_rows[0][0]);
  const outcome result = run({"toolchain"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_NE(result.err.find("creating link arm-uclinuxeabi/libc/thumb2/usr/bin/gdbserver to "
                            "arm-uclinuxeabi/libc/thumb2/usr/lib/bin/gdbserver failed\n"),
            std::string::npos)
      << result.err;
  EXPECT_TRUE(fs::is_directory(root() / expected_rows[0][0]));
  EXPECT_FALSE(fs::exists(root() / expected_rows[1][0]));
}

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

// Every copy reaches the disk before it is named: strace counts the flushes.
TEST_F(EndToEndAcrossDevices, HardLinksRefusedAcrossFileSystemsBecomeCopies) {
  fs::permissions(root() / expected_rows[4][1], fs::perms(0444));      // read-only, and so its copy
  write_file(root() / expected_rows[9][1], std::string(100000, 'r'));  // more than a block
  const fs::path flushes = base.path() / "flushes";
  std::optional<tool_prefix> traced;
  if (have("strace")) {
    // LeakSanitizer cannot work under ptrace; memcheck looks for leaks instead.
    traced.emplace(std::vector<std::string>{"strace", "-f", "-qq", "-o", flushes.string(), "-E",
                                            "ASAN_OPTIONS=detect_leaks=0", "-e",
                                            "trace=fsync,fdatasync"});
  }
  const outcome result = run({"toolchain", "-v"});
  traced.reset();
  if (fs::exists(flushes)) {
    std::ifstream calls(flushes);
    size_t flushed = 0;
    for (std::string line; std::getline(calls, line);) {
      if (line.size() > 4 && line.compare(line.size() - 4, 4, " = 0") == 0) ++flushed;
    }
    EXPECT_GE(flushed, 8u) << read_file(flushes);
  }
  EXPECT_EQ(result.status, 0);
  std::string expected_out = "Verbose mode.\n", expected_err;
  for (int row = 0; row < 14; ++row) {
    const bool crosses = std::strncmp(expected_rows[row][0], "bin/", 4) == 0 &&
                         std::strncmp(expected_rows[row][1], "bin/", 4) != 0;
    expected_out += link_line(row) + (crosses ? "processed copy\n" : "processed hardlink\n");
    if (crosses) expected_err += cross_device_report();
  }
  EXPECT_EQ(result.out, expected_out);
  EXPECT_EQ(result.err, expected_err);
  for (const auto& row : expected_rows) {
    EXPECT_EQ(read_file(root() / row[0]), read_file(root() / row[1])) << row[0];
  }

  // A rerun keeps every copy that already is what it would make, read-only
  // ones too, says the same and, natively, writes nothing at all. A copy one
  // byte or, on POSIX, its permission bits apart is made again.
  const auto file_of = [&](int row) {
    struct stat status {};
    stat((root() / expected_rows[row][0]).c_str(), &status);
    return status.st_ino;
  };
  const ino_t ar = file_of(4), ld = file_of(6);
  const fs::path writes = base.path() / "writes";
  std::optional<tool_prefix> watched = watch_writes(writes);
  const outcome rerun = run({"toolchain", "-v"});
  watched.reset();
  EXPECT_EQ(rerun.status, 0);
  EXPECT_EQ(rerun.out, expected_out);
  EXPECT_EQ(rerun.err, expected_err);
  EXPECT_EQ(file_of(4), ar);
  EXPECT_EQ(file_of(6), ld);
  expect_no_writes(writes);
  // An old copy that differs in one thing alone is made again: its bytes, at
  // the start or past the first block compared; its time, beyond any file
  // system's step; natively its permission or set-id bits, and in a root run
  // its owner; on Windows its hidden attribute.
  const auto same_time = [&](int row) {
    fs::last_write_time(root() / expected_rows[row][0],
                        fs::last_write_time(root() / expected_rows[row][1]));
  };
  const auto change_byte_at = [&](int row, std::streamoff at) {
    std::fstream copy(root() / expected_rows[row][0],
                      std::ios::in | std::ios::out | std::ios::binary);
    copy.seekp(at);
    copy.put('!');
    copy.close();
    same_time(row);
  };
  const passwd* nobody = getpwnam("nobody");
  std::vector<std::pair<int, std::function<void()>>> changes = {
      {5, [&] { change_byte_at(5, 0); }},
      {9, [&] { change_byte_at(9, 70000); }},
      {7,
       [&] {
         fs::last_write_time(
             root() / expected_rows[7][0],
             fs::last_write_time(root() / expected_rows[7][1]) + std::chrono::hours(1));
       }},
      {8, [&] {
         const fs::path copy = root() / expected_rows[8][0];
         // Wine keeps the hidden attribute where Samba does.
         if (windows_tool) {
           ASSERT_EQ(setxattr(copy.c_str(), "user.DOSATTRIB", "0x2", 3, 0), 0);
         } else {
           fs::permissions(copy, fs::perms::set_uid, fs::perm_options::add);
         }
       }}};
  if (!windows_tool)
    changes.emplace_back(6,
                         [&] { fs::permissions(root() / expected_rows[6][0], fs::perms(0600)); });
  if (!windows_tool && geteuid() == 0 && nobody != nullptr) {
    changes.emplace_back(11, [&] {
      ASSERT_EQ(chown((root() / expected_rows[11][0]).c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    });
  }
  std::map<int, ino_t> before;
  for (const auto& [row, change] : changes) {
    before[row] = file_of(row);
    change();
  }
  EXPECT_EQ(run({"toolchain"}).status, 0);
  EXPECT_EQ(file_of(4), ar);
  for (const auto& [row, change] : changes) {
    EXPECT_NE(file_of(row), before[row]) << expected_rows[row][0];
    EXPECT_EQ(read_file(root() / expected_rows[row][0]), read_file(root() / expected_rows[row][1]));
  }
}

// The Windows runtime expands wildcards before main; a POSIX shell does that
// for the native tool, so only the .exe is asked to.
TEST_F(EndToEnd, WildcardRootMatchingOneDirectory) {
  if (!windows_tool) GTEST_SKIP() << "wildcards are expanded by the shell on POSIX";
  const outcome result = run({"tool*", "-v"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out.rfind("Verbose mode.\n" + link_line(0), 0), 0u) << result.out;
  EXPECT_EQ(result.err, "");
}

// Root arguments a careless or hostile caller may pass: each gets its
// message and status 1, or works, and never crashes the tool.
TEST_F(EndToEnd, HostileRootArguments) {
  const std::string long_root = [] {
    std::string path;
    while (path.size() <= 5000) path += "deep/";
    return path;
  }();
  write_file(base.path() / "a-file", "not a directory");
  for (const std::string& root : {long_root, std::string("a-file"), std::string("")}) {
    SCOPED_TRACE(root.substr(0, 20));
    const outcome result = run({root, "-v"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "unable to _chdir to \"" + root + "\"\n");
  }
  for (const std::string name : {"tool chain", "-toolchain", "t\xc3\xa4ol"}) {
    SCOPED_TRACE(name);
    fs::create_directory_symlink("toolchain", base.path() / name);
    const outcome result = run({name});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
    fs::remove(base.path() / name);
  }
  for (const auto& row : expected_rows) {
    EXPECT_TRUE(fs::equivalent(root() / row[0], root() / row[1])) << row[0];
  }
}

// A tree whose path holds several scripts and a character beyond the Basic
// Multilingual Plane, which no single ANSI code page can hold: quiet, as a
// wildcard under Wine, and missing. Wine takes the arguments in the locale's
// encoding, so the runs are made in a UTF-8 one. "bin" is on another file
// system, so the copies, their temporary names and the sweep meet the name too.
TEST_F(EndToEndAcrossDevices, RootNamedInAnyScript) {
  const std::string name =
      "\xe5\xb7\xa5\xe5\x85\xb7\xe9\x93\xbe \xd0\x96\xd1\x91\xd0\xbb\xd1\x83\xd0\xb4\xd1\x8c "
      "\xc3\x9cn\xc3\xaf"
      "code \xe2\x9c\x93 \xf0\x9f\x98\x80";  // 工具链 Жёлудь Ünïcode ✓ 😀
  fs::rename(root(), base.path() / name);
  const char* const locale = std::getenv("LANG");
  const std::string saved = locale != nullptr ? locale : "";
  setenv("LANG", "C.UTF-8", 1);
  std::vector<std::string> roots = {name};
  if (windows_tool) roots.push_back(name.substr(0, 9) + "*");  // the first three characters
  for (const std::string& typed : roots) {
    SCOPED_TRACE(typed);
    const outcome result = run({typed});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
  }
  const outcome missing = run({name + "-", "-v"});
  locale != nullptr ? setenv("LANG", saved.c_str(), 1) : unsetenv("LANG");
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, "unable to _chdir to \"" + name + "-\"\n");
  for (const auto& row : expected_rows) {
    EXPECT_EQ(read_file(base.path() / name / row[0]), program_content(row[1])) << row[0];
  }
}

// A FIFO as a target, whether its name is linked on the same file system
// (row 3) or copied to another (row 4): opening it must not hang the tool,
// it is refused as no program, and the old second name stays.
// A target that is no file on a disk (a FIFO; on Windows, NUL) is refused,
// and never costs an old name, nor makes a new one.
TEST_F(EndToEndAcrossDevices, FifoTargetIsRefusedAndTheOldNameKept) {
  for (const auto& [row, old_name] : {std::pair{3, true}, {4, true}, {3, false}}) {
    SCOPED_TRACE(std::to_string(row) + (old_name ? " over an old name" : ""));
    const fs::path target = root() / expected_rows[row][1], name = root() / expected_rows[row][0];
    fs::remove(target);
    if (windows_tool) {
      fs::create_symlink("/dev/null", target);
    } else {
      ASSERT_EQ(mkfifo(target.c_str(), 0644), 0);
    }
    fs::remove(name);
    if (old_name) write_file(name, "an older program");
    const outcome result = run({"toolchain"});
    EXPECT_EQ(result.status, 1);
    const std::string failed = std::string("creating link ") + expected_rows[row][0] + " to " +
                               expected_rows[row][1] + " failed\n";
    if (windows_tool) {
      EXPECT_TRUE(result.err.ends_with(failed)) << result.err;
    } else {
      EXPECT_EQ(result.err, "Error(4096): Not a regular file\n" + failed);
    }
    if (old_name) {
      ASSERT_TRUE(fs::is_regular_file(name));  // reading a FIFO would hang the test
      EXPECT_EQ(read_file(name), "an older program");
    } else {
      EXPECT_FALSE(fs::exists(fs::symlink_status(name)));
    }
    fs::remove(target);
    write_file(target, program_content(expected_rows[row][1]));
  }
}

// The kernel's copy calls stopping short, natively, by strace's injections:
// copy_file_range answering 0 at once, as some file systems do for files they
// report empty, leaves the copy to sendfile; sendfile failing once it has
// moved bytes fails the row, and no partial copy is named.
TEST_F(EndToEndAcrossDevices, KernelCopyThatStopsShortOrFails) {
  if (windows_tool) GTEST_SKIP() << "the kernel's copy calls are Linux's";
  if (!have("strace")) GTEST_SKIP() << "no strace";
  const std::string failed = "Error(5): Input/output error\ncreating link " +
                             std::string(expected_rows[4][0]) + " to " + expected_rows[4][1] +
                             " failed\n";
  for (const auto& [injected, report] :
       {std::pair<std::vector<std::string>, std::string>{{"copy_file_range:retval=0:when=1"}, ""},
        {{"copy_file_range:error=EXDEV", "sendfile:error=EIO:when=2"}, failed}}) {
    SCOPED_TRACE(injected.back());
    for (const auto& row : expected_rows) fs::remove(root() / row[0]);
    std::vector<std::string> words{
        "strace", "-f", "-qq", "-o", "/dev/null", "-E", "ASAN_OPTIONS=detect_leaks=0"};
    for (const std::string& injection : injected)
      words.insert(words.end(), {"-e", "inject=" + injection});
    const tool_prefix traced(words);
    const outcome result = run({"toolchain"});
    EXPECT_EQ(result.status, report.empty() ? 0 : 1);
    EXPECT_EQ(result.err, report);
    if (report.empty()) {
      for (const auto& row : expected_rows) {
        EXPECT_EQ(read_file(root() / row[0]), read_file(root() / row[1])) << row[0];
      }
    } else {
      EXPECT_FALSE(fs::exists(root() / expected_rows[4][0]));
    }
    EXPECT_EQ(leftovers(elsewhere->path()), std::vector<std::string>{});
  }
}

// Whether a copy is under way in dir: a temporary file there holds data. On
// Windows such a file has been marked for deletion already.
bool copying(const fs::path& dir) {
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(dir, ignored)) {
    if (entry.path().filename().string().find(".link-installer-") != std::string::npos &&
        entry.file_size(ignored) > 0) {
      return true;
    }
  }
  return false;
}

// A run killed while it copies: no second name may hold part of a program,
// no temporary file may stay, and the next run, not held up by the dead
// run's lock, completes the tree. Natively strace delivers SIGKILL on the
// first kernel call that moves the data. Wine's writes cannot be told apart
// from its other calls, so the .exe is killed as soon as its temporary file
// holds data, while it copies a large target.
TEST_F(EndToEndAcrossDevices, KilledDuringACopyLeavesNoPartialProgram) {
  if (!windows_tool && !have("strace")) GTEST_SKIP() << "no strace";
  write_file(root() / expected_rows[4][1], std::string(windows_tool ? 64 << 20 : 1 << 20, 'a'));
  const fs::path bin = elsewhere->path() / "bin";
  outcome killed;
  if (windows_tool) {
    const started_run started = start_tool(base.path(), {"toolchain"});
    for (int waited = 0; !copying(bin) && waited < 20000; ++waited) usleep(1000);
    EXPECT_TRUE(copying(bin)) << "the copy never showed";
    signal_run(started, SIGKILL);
    killed = finish_tool(started);
    // The system removes a killed run's marked file once it has closed its handles.
    for (int waited = 0; !leftovers(bin).empty() && waited < 100; ++waited) usleep(100000);
  } else {
    const tool_prefix strace({"strace", "-f", "-o", "/dev/null", "-e",
                              "trace=copy_file_range,sendfile", "-e",
                              "inject=copy_file_range,sendfile:signal=SIGKILL:when=1"});
    killed = run({"toolchain"});
    EXPECT_FALSE(fs::exists(root() / expected_rows[4][0]));
  }
  EXPECT_NE(killed.status, 0);
  EXPECT_TRUE(fs::equivalent(root() / expected_rows[3][0], root() / expected_rows[3][1]));
  for (const auto& row : expected_rows) {
    if (fs::exists(root() / row[0])) {
      EXPECT_EQ(read_file(root() / row[0]), read_file(root() / row[1])) << row[0];
    }
  }
  EXPECT_EQ(leftovers(elsewhere->path()), std::vector<std::string>{});

  // A run killed before it could mark its file (Windows) or on a file system
  // without unnamed files (POSIX) leaves it behind; the next run removes it,
  // but never a user's file that merely looks like one.
  write_file(bin / dead_runs_file(), "");
  write_file(bin / users_file, "notes");
  // Nor, on POSIX, another user's file of the very shape: their run is not ours to judge.
  std::vector<std::string> kept = {users_file};
  const passwd* nobody = getpwnam("nobody");
  if (!windows_tool && geteuid() == 0 && nobody != nullptr) {
    kept.push_back(std::string(expected_rows[4][0] + 4) + ".link-installer-Zz99Yy");
    write_file(bin / kept.back(), "");
    ASSERT_EQ(chown((bin / kept.back()).c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  }
  const outcome again = run({"toolchain"});
  EXPECT_EQ(again.status, 0);
  for (const auto& row : expected_rows) {
    EXPECT_EQ(read_file(root() / row[0]), read_file(root() / row[1])) << row[0];
  }
  std::vector<std::string> found = leftovers(elsewhere->path());
  std::sort(found.begin(), found.end());
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(found, kept);
}

// A file system mounted for one test by a shell command, and unmounted when
// the test ends however it ends. The commands find their paths in the
// environment, as $DIR and $IMAGE.
class scoped_mount {
 public:
  // after: what to release once $DIR is unmounted, such as a loop device.
  explicit scoped_mount(const std::string& mount, std::string after = "true")
      : after_(std::move(after)) {
    mounted_ = std::system(("mkdir -p \"$DIR\" && (" + mount + ") >/dev/null 2>&1").c_str()) == 0;
  }
  // A failed test may leave a file open there: then the mount goes lazily.
  ~scoped_mount() {
    if (mounted_)
      std::system(("(umount \"$DIR\" || umount -l \"$DIR\"; " + after_ + ") 2>/dev/null").c_str());
  }
  scoped_mount(const scoped_mount&) = delete;
  scoped_mount& operator=(const scoped_mount&) = delete;
  bool mounted() const { return mounted_; }

 private:
  std::string after_;
  bool mounted_ = false;
};

// Run by root on a tree that another user owns, the tool acts as that user:
// the tree can neither make it replace root's program outside the tree, nor
// hand that user a hard link to a file only root may read.
TEST_F(EndToEnd, RootRunOnAnotherUsersTreeStaysWithinTheirRights) {
  if (windows_tool) GTEST_SKIP() << "Windows has no such switch";
  if (geteuid() != 0) GTEST_SKIP() << "acting as another user needs root";
  const passwd* nobody = getpwnam("nobody");
  if (nobody == nullptr) GTEST_SKIP() << "no unprivileged user \"nobody\"";
  write_file(base.path() / "roots/gdbserver", "root's gdbserver");
  write_file(base.path() / "private/secret", "root's secret");
  fs::permissions(base.path() / "private", fs::perms(0750));
  fs::permissions(base.path() / "private/secret", fs::perms(0440));
  const fs::path variant_bin = root() / "arm-uclinuxeabi/libc/usr/bin";
  fs::remove_all(variant_bin);
  fs::create_directory_symlink(base.path() / "roots", variant_bin);
  for (const auto& entry : fs::recursive_directory_iterator(root())) {
    ASSERT_EQ(lchown(entry.path().c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  }
  ASSERT_EQ(chown(root().c_str(), nobody->pw_uid, nobody->pw_gid), 0);

  const outcome first = run({"toolchain"});
  EXPECT_EQ(first.status, 1);
  EXPECT_EQ(read_file(base.path() / "roots/gdbserver"), "root's gdbserver");
  EXPECT_EQ(fs::hard_link_count(base.path() / "roots/gdbserver"), 1u);
  // A run kept waiting by the test's lock on the tree shows the owner in all
  // its ids: real, effective, saved and for the file system.
  {
    const int tree = open(root().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(flock(tree, LOCK_EX), 0);
    const started_run held = start_tool(base.path(), {"toolchain"});
    for (int waited = 0; read_file(held.streams->path() / "err").empty() && waited < 100; ++waited)
      usleep(100000);
    const std::string ids = read_file("/proc/" + std::to_string(held.child) + "/status");
    close(tree);
    finish_tool(held);
    for (const auto& [field, id] : {std::pair{"Uid:", nobody->pw_uid}, {"Gid:", nobody->pw_gid}}) {
      const std::string all = std::to_string(id);
      EXPECT_NE(
          ids.find(std::string(field) + "\t" + all + "\t" + all + "\t" + all + "\t" + all + "\n"),
          std::string::npos)
          << ids;
    }
  }

  // The same tree with the variant repaired, and a target that leads to the
  // secret, which root's group may read. Root gave the tree away but kept
  // its group: the run takes the owner's own groups, not root's.
  fs::remove(variant_bin);
  fs::create_directory(variant_bin);
  ASSERT_EQ(chown(variant_bin.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  fs::remove(root() / expected_rows[4][1]);
  fs::create_symlink(base.path() / "private/secret", root() / expected_rows[4][1]);
  ASSERT_EQ(chown(root().c_str(), nobody->pw_uid, 0), 0);
  // A root login holds root's group as a supplementary group as well.
  std::optional<tool_prefix> login_groups;
  if (have("setpriv")) login_groups.emplace(std::vector<std::string>{"setpriv", "--groups=0"});
  const outcome second = run({"toolchain"});
  EXPECT_EQ(second.status, 1);
  EXPECT_NE(second.err.find("creating link bin/arm-uclinuxeabi-ar.exe"), std::string::npos);
  EXPECT_FALSE(fs::exists(root() / expected_rows[4][0]));
  EXPECT_EQ(fs::hard_link_count(base.path() / "private/secret"), 1u);

  // An owner the user database does not know gets no group at all, not even
  // the tree's, which an archive unpacked by root keeps from another machine.
  const auto give_tree = [&](uid_t uid, gid_t gid) {
    for (const auto& entry : fs::recursive_directory_iterator(root())) {
      ASSERT_EQ(lchown(entry.path().c_str(), uid, gid), 0);
    }
    ASSERT_EQ(chown(root().c_str(), uid, gid), 0);
  };
  constexpr uid_t stranger = 54321;
  constexpr gid_t secrets = 54322;
  ASSERT_EQ(getpwuid(stranger), nullptr);
  give_tree(stranger, secrets);
  ASSERT_EQ(chown((base.path() / "private").c_str(), 0, secrets), 0);
  ASSERT_EQ(chown((base.path() / "private/secret").c_str(), 0, secrets), 0);
  const outcome third = run({"toolchain"});
  EXPECT_EQ(third.status, 1);
  EXPECT_NE(third.err.find("creating link bin/arm-uclinuxeabi-ar.exe"), std::string::npos);
  EXPECT_FALSE(fs::exists(root() / expected_rows[4][0]));
  ASSERT_EQ(chown((base.path() / "private").c_str(), 0, 0), 0);
  ASSERT_EQ(chown((base.path() / "private/secret").c_str(), 0, 0), 0);

  // The owner's groups as the C library reads the user database: not from a
  // comment line that gives the owner's id root's group, nor from a malformed
  // line that seems to list the owner in it. Each database is bind-mounted in
  // a mount namespace of the run's own, so the host's files stay untouched.
  if (std::system("unshare -m true >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "unshare -m is refused here, so no run can have a user database of its own";
  }
  give_tree(nobody->pw_uid, nobody->pw_gid);
  const std::string users = read_file("/etc/passwd"), groups = read_file("/etc/group");
  const std::string owner = std::to_string(nobody->pw_uid), name = nobody->pw_name;
  // Then the compat service's lines, which the look-ups skip too; and last, a
  // group listed after one of more than a megabyte, which does count.
  std::string huge = "huge:x:54323:";
  while (huge.size() < (size_t{3} << 20)) huge += "member" + std::to_string(huge.size()) + ",";
  struct database {
    std::string users, groups;
    int status = 1;
  };
  for (const database& files :
       {database{"#oldsvc:x:" + owner + ":0::/:/bin/sh\n" + users, groups},
        database{users, groups + "rootish:x:0:" + name + ":extra\n"},
        database{"-ghost:x:" + owner + ":0::/:/bin/sh\n" + users, groups},
        database{users, groups + "+rootish:x:0:" + name + "\n"},
        database{users, groups + huge + name + "\nrootish:x:0:" + name + "\n", 0}}) {
    SCOPED_TRACE(files.users.substr(0, 8) + " " + files.groups.substr(groups.size(), 8));
    fs::remove(root() / expected_rows[4][0]);
    write_file(base.path() / "passwd", files.users);
    write_file(base.path() / "group", files.groups);
    const tool_prefix own_database({"unshare", "-m", "sh", "-c",
                                    R"(mount --bind "$1" /etc/passwd && )"
                                    R"(mount --bind "$2" /etc/group && shift 2 && exec "$@")",
                                    "sh", (base.path() / "passwd").string(),
                                    (base.path() / "group").string()});
    const outcome result = run({"toolchain"});
    EXPECT_EQ(result.status, files.status) << result.err;
    EXPECT_EQ(fs::exists(root() / expected_rows[4][0]), files.status == 0);
  }
}

// Run by root on a tree that root owns, the tool stays root, so it follows
// nothing that another user could have planted: not in a tree root that
// others can write, nor through a directory that another user owns or can
// write, nor past another user's entry in a sticky directory.
TEST_F(EndToEnd, RootRunOnRootsTreeFollowsOnlyRootsPaths) {
  if (windows_tool) GTEST_SKIP() << "Windows has no such switch";
  if (geteuid() != 0) GTEST_SKIP() << "staying root needs root";
  const passwd* nobody = getpwnam("nobody");
  if (nobody == nullptr) GTEST_SKIP() << "no unprivileged user \"nobody\"";
  const fs::path roots = base.path() / "roots/gdbserver";
  write_file(roots, "root's gdbserver");
  const fs::path variant_bin = root() / "arm-uclinuxeabi/libc/usr/bin";
  fs::remove_all(variant_bin);
  fs::create_directory_symlink(roots.parent_path(), variant_bin);
  for (const auto& entry : fs::recursive_directory_iterator(root())) {
    ASSERT_EQ(lchown(entry.path().c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  }
  fs::permissions(root(), fs::perms(01777));
  fs::create_directory_symlink("toolchain", base.path() / "tc");
  const outcome shared = run({"tc"});
  EXPECT_EQ(shared.status, 1);
  EXPECT_EQ(shared.err,
            "unable to run as root on \"tc\", which other users can write: run as the tree's "
            "owner, or make it writable by root alone (for a mount, -o umask=022)\n");

  fs::permissions(root(), fs::perms(0755));
  fs::remove(variant_bin);
  fs::create_directory(variant_bin);
  for (const auto& entry : fs::recursive_directory_iterator(root())) {
    ASSERT_EQ(lchown(entry.path().c_str(), 0, 0), 0);
  }
  const fs::path bin = root() / "bin", ar = root() / expected_rows[4][0];
  fs::create_symlink(roots, ar);
  struct case_t {
    uid_t bin_owner;
    fs::perms bin_mode;
    uid_t name_owner;  // of the old second name in bin
    std::string report;
    const char* open_files = nullptr;  // a limit on the run's file descriptors
  };
  const uid_t user = nobody->pw_uid;
  const std::string owned = "Error(4099): A directory or link on the way belongs to another user\n";
  const std::string writable = "Error(4098): A directory on the way is writable by another user\n";
  // A walk short of descriptors must still look, and a name is never freed
  // where others could take it, sticky directory or not.
  for (const case_t& c :
       {case_t{user, fs::perms(0755), 0, owned}, case_t{0, fs::perms(0777), 0, writable},
        case_t{0, fs::perms(01777), user, writable}, case_t{0, fs::perms(01777), 0, writable},
        case_t{user, fs::perms(0755), 0, owned, "--nofile=4:4"}}) {
    if (c.open_files != nullptr && STATIC_TOOL == 0) continue;
    SCOPED_TRACE(std::to_string(static_cast<int>(c.bin_mode)) + " " +
                 (c.open_files ? c.open_files : ""));
    ASSERT_EQ(lchown(ar.c_str(), c.name_owner, c.name_owner), 0);
    ASSERT_EQ(chown(bin.c_str(), c.bin_owner, c.bin_owner), 0);
    fs::permissions(bin, c.bin_mode);
    std::optional<tool_prefix> limit;
    if (c.open_files) limit.emplace(std::vector<std::string>{"prlimit", c.open_files});
    const outcome result = run({"toolchain"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, c.report + "creating link " + expected_rows[4][0] + " to " +
                              expected_rows[4][1] + " failed\n");
    EXPECT_TRUE(fs::is_symlink(ar));
  }
  // Without a descriptor for the lock, runs could collide: none starts.
  if (STATIC_TOOL == 0) {
    std::printf("SKIPPED: runs short of descriptors (the tool is not linked statically)\n");
  } else {
    const tool_prefix limit({"prlimit", "--nofile=3:3"});
    const outcome result = run({"toolchain"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err,
              "Error(24): Too many open files\n"
              "unable to lock \"toolchain\" against other runs\n");
  }
  // The way to a target is followed as the system follows it, and every step
  // of it is looked at, even where the name's own directory is root's alone:
  // row 0's target, under lib, through one of these.
  const fs::path lib = root() / "arm-uclinuxeabi/libc/thumb2/usr/lib",
                 real = lib.string() + ".real";
  // Another user's directory, and one of theirs in a sticky directory.
  const fs::path theirs = base.path() / "theirs", in_sticky = base.path() / "sticky/theirs";
  for (const fs::path& dir : {theirs, in_sticky}) {
    fs::create_directories(dir / "bin");
    fs::copy_file(lib / "bin/gdbserver", dir / "bin/gdbserver");
    for (const fs::path& path : {dir, dir / "bin", dir / "bin/gdbserver"}) {
      ASSERT_EQ(chown(path.c_str(), user, user), 0);
    }
  }
  fs::permissions(in_sticky.parent_path(), fs::perms(01777));
  // One link more than the kernel follows in a lookup, every one root's.
  const fs::path chain = base.path() / "chain";
  const auto name = [](int i) {
    return i == 0 ? std::string("gdbserver") : std::string("l").append(std::to_string(i));
  };
  write_file(chain / "bin" / name(41), "root's gdbserver");
  for (int i = 41; i > 0; --i) fs::create_symlink(name(i), chain / "bin" / name(i - 1));
  fs::rename(lib, real);
  const auto link_owned_by = [&](const fs::path& to, uid_t owner) {
    fs::create_directory_symlink(to, lib);
    ASSERT_EQ(lchown(lib.c_str(), owner, owner), 0);
  };
  const auto directory_as = [&](uid_t owner, gid_t group, fs::perms mode) {
    fs::rename(real, lib);
    ASSERT_EQ(chown(lib.c_str(), owner, group), 0);
    fs::permissions(lib, mode);
  };
  // Where the walk cannot look, it refuses with the reason, and no other report follows.
  const std::string too_many_links = "Error(40): Too many levels of symbolic links\n";
  const std::vector<std::pair<std::function<void()>, std::string>> ways = {
      {[&] { link_owned_by(real, user); }, owned},
      {[&] { directory_as(0, user, fs::perms(0775)); }, writable},
      {[&] { directory_as(user, 0, fs::perms(0755)); }, owned},
      {[&] { link_owned_by(theirs, 0); }, owned},
      {[&] { link_owned_by(in_sticky, 0); }, writable},
      {[&] { link_owned_by(chain, 0); }, too_many_links},
      {[&] { link_owned_by(std::string(300, 'x'), 0); }, "Error(36): File name too long\n"}};
  for (size_t way = 0; way < ways.size(); ++way) {
    SCOPED_TRACE(way);
    ways[way].first();
    const outcome result = run({"toolchain", "-v"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, ways[way].second + "creating link " + expected_rows[0][0] + " to " +
                              expected_rows[0][1] + " failed\n");
    if (fs::is_symlink(lib)) {
      fs::remove(lib);
    } else {
      fs::rename(lib, real);
    }
  }
  fs::rename(real, lib);
  ASSERT_EQ(chown(lib.c_str(), 0, 0), 0);
  fs::permissions(lib, fs::perms(0755));
  // Another user's FUSE mount, whose server claims that root owns all in it,
  // and leads bin out to root's directory.
  const fs::path usr = root() / "arm-uclinuxeabi/libc/usr";
  fs::remove_all(usr);
  fs::create_directory(usr);
  ASSERT_EQ(chown(usr.c_str(), user, user), 0);
  setenv("DIR", usr.c_str(), 1);
  if (std::system("/usr/bin/python3 -c 'import fusepy' 2>/dev/null") == 0 &&
      fs::exists("/dev/fuse")) {
    const scoped_mount mount(std::string(LYING_FUSE_SERVER) + " \"$DIR\" " +
                             roots.parent_path().string() + " " + std::to_string(user));
    ASSERT_TRUE(mount.mounted());
    const outcome result = run({"toolchain"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, owned + "creating link " + expected_rows[1][0] + " to " +
                              expected_rows[1][1] + " failed\n");
    // A whole tree there, whose server claims daemon owns it, with bin led
    // into daemon's own directory: the run becomes nobody, who mounted it.
    const passwd* daemon = getpwnam("daemon");
    if (daemon != nullptr && have("strace")) {
      const fs::path daemons = base.path() / "daemons", lying = base.path() / "lying";
      write_file(daemons / "gdbserver", "daemon's gdbserver");
      for (const fs::path& path : {daemons, daemons / "gdbserver"}) {
        ASSERT_EQ(chown(path.c_str(), daemon->pw_uid, daemon->pw_gid), 0);
      }
      setenv("DIR", lying.c_str(), 1);
      const scoped_mount whole(std::string(LYING_FUSE_SERVER) + " \"$DIR\" " + daemons.string() +
                               " " + std::to_string(user) + " " + std::to_string(daemon->pw_uid) +
                               " arm-uclinuxeabi/libc/thumb2/usr");
      ASSERT_TRUE(whole.mounted());
      const fs::path calls = base.path() / "calls";
      const tool_prefix traced({"strace", "-a1", "-o", calls.string(), "-e", "trace=setuid"});
      EXPECT_EQ(run({"lying"}).status, 1);
      EXPECT_NE(read_file(calls).find("setuid(" + std::to_string(user) + ") = 0"),
                std::string::npos)
          << read_file(calls);
      EXPECT_EQ(read_file(daemons / "gdbserver"), "daemon's gdbserver");
    }
  } else {
    std::printf("SKIPPED: another user's FUSE mount (needs /dev/fuse and python3-fusepy)\n");
  }
  EXPECT_EQ(read_file(roots), "root's gdbserver");
  EXPECT_EQ(fs::hard_link_count(roots), 1u);
}

// exFAT and FAT through FUSE offer no hard links, no unnamed files and no
// RENAME_NOREPLACE, and FAT keeps no permission bits. Every name must still be
// made there, twice in a row: over a whole tree on such a file system, and
// over a tree whose "bin" is on one and holds old second names.
TEST_F(EndToEnd, CopiesOnFuseFileSystems) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting file systems needs root";
  if (!fs::exists("/dev/fuse")) GTEST_SKIP() << "no /dev/fuse";
  for (const char* program : {"mkfs.exfat", "mount.exfat-fuse", "losetup", "mkfs.fat", "fusefat"}) {
    if (!have(program))
      GTEST_SKIP() << "no " << program << " (exfat-fuse, exfatprogs, fusefat, dosfstools)";
  }
  struct file_system {
    const char* name;
    const char* mount;  // formats $IMAGE and mounts it on $DIR
    const char* after;  // releases what the mount took
  };
  const file_system systems[] = {
      {"exfat",
       R"sh(mkfs.exfat "$IMAGE" && mount.exfat-fuse -o umask=022 "$(losetup -f --show "$IMAGE")" "$DIR")sh",
       R"(losetup -j "$IMAGE" | cut -d: -f1 | xargs -r -n1 losetup -d)"},
      {"fat", R"(mkfs.fat "$IMAGE" && fusefat -o rw+ "$IMAGE" "$DIR")", "true"},
  };
  for (const file_system& system : systems) {
    SCOPED_TRACE(system.name);
    const fs::path image = base.path() / (std::string(system.name) + ".img");
    const fs::path dir = base.path() / system.name;
    setenv("IMAGE", image.c_str(), 1);
    setenv("DIR", dir.c_str(), 1);
    const scoped_mount mount(std::string(R"(truncate -s 48M "$IMAGE" && )") + system.mount,
                             system.after);
    if (!mount.mounted()) GTEST_SKIP() << "this machine would not mount " << system.name;

    // The whole tree on it, and a tree whose bin is on it with old names there.
    make_tree(dir / "whole", link_table);
    const fs::path split = base.path() / (std::string(system.name) + "-split");
    make_tree(split, link_table);
    fs::remove_all(split / "bin");
    fs::create_directory(dir / "bin");
    fs::create_directory_symlink(dir / "bin", split / "bin");
    for (const auto& row : expected_rows) {
      if (std::strncmp(row[1], "bin/", 4) == 0) write_file(split / row[1], program_content(row[1]));
      if (std::strncmp(row[0], "bin/", 4) == 0) write_file(split / row[0], "an older program");
    }
    // A dead run's temporary file is swept, a user's look-alike kept; and a
    // read-only program is copied where the file system keeps no attributes.
    write_file(dir / "bin" / dead_runs_file(), "");
    write_file(dir / "bin" / users_file, "notes");
    fs::permissions(split / expected_rows[4][1], fs::perms(0444));
    // The rerun keeps every copy, though the file system holds neither the
    // target's time to the nanosecond nor its permission bits.
    for (const fs::path& tree : {dir / "whole", split}) {
      std::vector<ino_t> files;
      for (int pass = 0; pass < 2; ++pass) {
        SCOPED_TRACE(tree.filename().string() + " pass " + std::to_string(pass));
        const fs::path writes = base.path() / "writes";
        std::optional<tool_prefix> watched = pass == 1 ? watch_writes(writes) : std::nullopt;
        const outcome result = run({tree.string()});
        watched.reset();
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.err, "");
        for (size_t row = 0; row < 14; ++row) {
          const fs::path name = tree / expected_rows[row][0];
          EXPECT_EQ(read_file(name), program_content(expected_rows[row][1])) << name;
          struct stat status {};
          stat(name.c_str(), &status);
          if (pass == 0) {
            files.push_back(status.st_ino);
          } else {
            EXPECT_EQ(status.st_ino, files[row]) << name;
          }
        }
        if (pass == 1) expect_no_writes(writes, true);
      }
    }
    EXPECT_EQ(leftovers(dir), std::vector<std::string>{users_file});
  }
  // An old copy like its target in all else, whose reads fail past the first
  // block, is never kept: the row makes it again, and fails where the file
  // system makes no file, rather than going on to the next.
  if (std::system("/usr/bin/python3 -c 'import fusepy' 2>/dev/null") != 0) return;
  const fs::path target = root() / expected_rows[4][1], failing = base.path() / "failing";
  write_file(target, std::string(100000, 'a'));
  fs::last_write_time(target, fs::file_time_type(std::chrono::seconds(1700000000)));
  setenv("DIR", failing.c_str(), 1);
  const scoped_mount mount(std::string(LYING_FUSE_SERVER) + " --failing-copy \"$DIR\" " +
                           fs::path(expected_rows[4][0]).filename().string() + " " +
                           target.string());
  ASSERT_TRUE(mount.mounted());
  fs::remove_all(root() / "bin");
  fs::create_directory_symlink(failing, root() / "bin");
  const outcome result = run({"toolchain"});
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(result.err.ends_with(std::string("creating link ") + expected_rows[4][0] + " to " +
                                   expected_rows[4][1] + " failed\n"))
      << result.err;
}

// Runs started together on one tree take turns: none deletes a name that
// another has just made, so every one of them succeeds.
TEST_F(EndToEndAcrossDevices, RunsSideBySideAllSucceed) {
  const int rounds = windows_tool ? 3 : 20;
  for (int round = 0; round < rounds && !HasFailure(); ++round) {
    SCOPED_TRACE(round);
    for (const auto& row : expected_rows) {
      fs::remove(root() / row[0]);
      write_file(root() / row[0], "an older program");
    }
    std::vector<started_run> runs;
    for (int i = 0; i < 3; ++i) runs.push_back(start_tool(base.path(), {"toolchain"}));
    for (const started_run& started : runs) {
      const outcome result = finish_tool(started);
      EXPECT_EQ(result.status, 0);
      EXPECT_EQ(result.err, "");
    }
    for (const auto& row : expected_rows) {
      EXPECT_EQ(read_file(root() / row[0]), program_content(row[1])) << row[0];
    }
    EXPECT_EQ(leftovers(elsewhere->path()), std::vector<std::string>{});
  }
}

// A run that finds the tree taken says so once, and goes on when it is free.
// One run is held up while it copies, once it holds the lock: natively strace
// holds its first copy call for three seconds; the .exe is stopped with
// SIGSTOP once its temporary file holds data, and continued later.
TEST_F(EndToEndAcrossDevices, RunKeptWaitingSaysSoAndGoesOn) {
  if (!windows_tool && !have("strace")) GTEST_SKIP() << "no strace";
  write_file(root() / expected_rows[4][1], std::string(64 << 20, 'a'));
  std::optional<tool_prefix> stuck;
  if (!windows_tool) {
    // LeakSanitizer cannot work under ptrace; memcheck looks for leaks instead.
    stuck.emplace(std::vector<std::string>{
        "strace", "-f", "-o", "/dev/null", "-E", "ASAN_OPTIONS=detect_leaks=0", "-e",
        "trace=copy_file_range,sendfile", "-e",
        "inject=copy_file_range,sendfile:delay_enter=3000000:when=1"});
  }
  const started_run first = start_tool(base.path(), {"toolchain"});
  stuck.reset();
  const fs::path bin = elsewhere->path() / "bin";
  const auto holding = [&] {
    if (windows_tool) return copying(bin);
    // The test's own shared lock is refused while the run holds the tree.
    const int tree = open(root().c_str(), O_RDONLY | O_DIRECTORY);
    const bool held = flock(tree, LOCK_SH | LOCK_NB) != 0;
    close(tree);
    return held;
  };
  for (int waited = 0; !holding() && waited < 20000; ++waited) usleep(1000);
  if (windows_tool) signal_run(first, SIGSTOP);
  const started_run second = start_tool(base.path(), {"toolchain"});
  const fs::path waiting = second.streams->path() / "err";
  for (int waited = 0; read_file(waiting).empty() && waited < 200; ++waited) usleep(100000);
  // Said while it waits, not held back until it ends.
  EXPECT_EQ(without_carriage_returns(read_file(waiting)),
            "waiting for another run on \"toolchain\"\n");
  if (windows_tool) signal_run(first, SIGCONT);
  const outcome first_result = finish_tool(first);
  const outcome second_result = finish_tool(second);
  EXPECT_EQ(first_result.status, 0);
  EXPECT_EQ(first_result.err, "");
  EXPECT_EQ(second_result.status, 0);
  EXPECT_EQ(second_result.err, "waiting for another run on \"toolchain\"\n");
  for (const auto& row : expected_rows) {
    EXPECT_EQ(read_file(root() / row[0]), read_file(root() / row[1])) << row[0];
  }
}

// A caller who asked for output and could not get it is not told that all
// went well; the names already made stay.
TEST_F(EndToEnd, OutputThatCannotBeWrittenFailsTheRun) {
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"--help"}, {"--version"}, {"toolchain", "-v"}}) {
    SCOPED_TRACE(arguments[0]);
    const outcome result = finish_tool(start_tool(base.path(), arguments, "/dev/full"));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, disk_full_report() + "writing to standard output failed\n");
  }
  for (const auto& row : expected_rows) {
    EXPECT_TRUE(fs::equivalent(root() / row[0], root() / row[1])) << row[0];
  }
}

// The runtime would expand "/?" as a wildcard into a one-character name in
// the drive's root, which could then be taken for a tree: here a drive whose
// root holds "t". It must still give the usage.
TEST_F(EndToEnd, SlashQuestionMarkGivesTheUsageWhateverItMatches) {
  if (!windows_tool) GTEST_SKIP() << "/? is Windows' own switch";
  const char* prefix = std::getenv("WINEPREFIX");
  const char* home = std::getenv("HOME");
  const fs::path drive = (prefix != nullptr ? fs::path(prefix)
                          : home != nullptr ? fs::path(home) / ".wine"
                                            : fs::path("/root/.wine")) /
                         "dosdevices/m:";
  if (fs::exists(fs::symlink_status(drive))) GTEST_SKIP() << "Wine's drive m: is taken";
  fs::create_directory(base.path() / "t");
  fs::create_directory_symlink(base.path(), drive);
  // Typed bare, and in quotes as a batch file or a shell passes it on.
  std::string exe = "Z:" + tool_command.back();
  std::replace(exe.begin(), exe.end(), '/', '\\');
  std::ofstream(base.path() / "quoted.cmd") << "@\"" << exe << "\" \"/?\"\r\n";
  // With its quotes escaped, as the runtime reads them: a root named "/?".
  std::ofstream(base.path() / "escaped.cmd") << "@\"" << exe << "\" \\\"/?\\\"\r\n";
  const std::vector<std::string> bare = tool_command;
  std::vector<outcome> results{run({"/?"})};
  tool_command = {bare.front(), "cmd", "/c", "quoted.cmd"};
  results.push_back(run({}));
  tool_command = {bare.front(), "cmd", "/c", "escaped.cmd"};
  const outcome escaped = run({});
  tool_command = bare;
  fs::remove(drive);
  for (const outcome& result : results) {
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out.rfind("usage: link-installer ROOT [-v]\n", 0), 0u) << result.out;
    EXPECT_EQ(result.err, "");
  }
  EXPECT_EQ(escaped.status, 1);
  EXPECT_EQ(escaped.err, "unable to _chdir to \"\"/?\"\"\n");
}

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

TEST_F(AsUnprivilegedUser, RootWithoutSearchPermission) {
  fs::permissions(root(), fs::perms::owner_read | fs::perms::owner_write);
  const outcome result = run({"toolchain", "-v"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "unable to _chdir to \"toolchain\"\n");
  fs::permissions(root(), fs::perms::owner_all);
}

TEST_F(AsUnprivilegedUser, ReadOnlyDirectoryKeepsItsOldName) {
  write_file(root() / expected_rows[4][0], "an older ar");
  ASSERT_EQ(chown((root() / "bin").c_str(), 0, 0), 0);
  fs::permissions(root() / "bin", fs::perms(0555));
  const outcome result = run({"toolchain"});
  fs::permissions(root() / "bin", fs::perms(0755));
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  // The delete is refused, so the copy meets the old name and refuses too.
  EXPECT_EQ(result.err,
            "Error(17): File exists\n"
            "creating link bin/arm-uclinuxeabi-ar.exe to arm-uclinuxeabi/bin/ar.exe failed\n");
  EXPECT_EQ(read_file(root() / expected_rows[4][0]), "an older ar");
  EXPECT_TRUE(fs::equivalent(root() / expected_rows[3][0], root() / expected_rows[3][1]));
  EXPECT_FALSE(fs::exists(root() / expected_rows[5][0]));
}

TEST_F(AsUnprivilegedUser, UnreadableTargetFailsItsRowAndStaysIntact) {
  const fs::path target = root() / expected_rows[3][1];
  ASSERT_EQ(chown(target.c_str(), 0, 0), 0);
  fs::permissions(target, fs::perms::none);
  const outcome result = run({"toolchain", "-v"});
  fs::permissions(target, fs::perms::owner_read);
  EXPECT_EQ(read_file(target), "program arm-uclinuxeabi/bin/c++.exe\n");
  if (read_file("/proc/sys/fs/protected_hardlinks") == "0\n") {
    // Without that protection the hard link needs no access to the file.
    EXPECT_EQ(result.status, 0);
    return;
  }
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err,
            "Error(1): Operation not permitted\nError(13): Permission denied\n"
            "creating link arm-uclinuxeabi/bin/g++.exe to arm-uclinuxeabi/bin/c++.exe failed\n");
  EXPECT_EQ(result.out.substr(result.out.rfind("link ")), link_line(3));
  EXPECT_FALSE(fs::exists(root() / expected_rows[4][0]));
}

// A disk that fills up during a copy: "bin" on a tmpfs too small for ar.
TEST_F(EndToEnd, DiskFullDuringCopyLeavesNoPartialFile) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
  const fs::path small = base.path() / "small";
  setenv("DIR", small.c_str(), 1);
  const scoped_mount mount(R"(mount -t tmpfs -o size=1m tmpfs "$DIR")");
  if (!mount.mounted()) GTEST_SKIP() << "this machine does not allow tmpfs mounts";
  ASSERT_TRUE(move_bin_to(root(), small));
  write_file(root() / expected_rows[4][1], std::string(3 << 20, 'a'));

  const outcome result = run({"toolchain"});
  EXPECT_FALSE(fs::exists(root() / expected_rows[4][0]));
  EXPECT_EQ(leftovers(small), std::vector<std::string>{});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, disk_full_report() +
                            "creating link bin/arm-uclinuxeabi-ar.exe to "
                            "arm-uclinuxeabi/bin/ar.exe failed\n");
  EXPECT_TRUE(fs::equivalent(root() / expected_rows[3][0], root() / expected_rows[3][1]));
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  int first = 1;
  if (argc > 1 && std::strcmp(argv[1], "--windows") == 0) {
    windows_tool = true;
    first = 2;
  }
  if (first >= argc) {
    std::fprintf(stderr, "usage: end_to_end_test [--windows] TOOL-COMMAND...\n");
    return 2;
  }
  // The tool runs in its own working directory, so a relative path must not reach it.
  for (int i = first; i < argc; ++i) {
    tool_command.push_back(fs::exists(argv[i]) ? fs::absolute(argv[i]).string() : argv[i]);
  }
  return RUN_ALL_TESTS();
}
