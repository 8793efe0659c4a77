// Runs the built tool as a separate process on generated trees and compares
// every byte it writes. With --windows the command is the cross-built .exe
// under Wine, and the same cases and expectations apply.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
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

outcome run_tool(const fs::path& cwd, const std::vector<std::string>& arguments) {
  scoped_directory streams;
  const fs::path out_path = streams.path() / "out", err_path = streams.path() / "err";
  std::vector<std::string> words = tool_command;
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  const pid_t child = fork();
  if (child == 0) {
    const int in = open("/dev/null", O_RDONLY);
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 ||
        chdir(cwd.c_str()) != 0) {
      _exit(127);
    }
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1,
          without_carriage_returns(read_file(out_path)),
          without_carriage_returns(read_file(err_path))};
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

// The system's report when a file is missing, and when a hard link would
// cross file systems.
std::string missing_file_report() {
  return windows_tool ? "Error(2): File not found.\n" : "Error(2): No such file or directory\n";
}
std::string cross_device_report() {
  return windows_tool ? "Error(17): Not same device.\n" : "Error(18): Invalid cross-device link\n";
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

TEST_F(EndToEnd, VerboseRunTracesTheTableInOrderTwice) {
  std::string expected = "Verbose mode.\n";
  for (int row = 0; row < 14; ++row) expected += link_line(row) + "processed hardlink\n";
  for (int pass = 0; pass < 2; ++pass) {
    const outcome result = run({"toolchain", "-v", "ignored"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, expected);
    EXPECT_EQ(result.err, "");
  }
  EXPECT_EQ(fs::hard_link_count(root() / expected_rows[13][1]), 2u);
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
TEST_F(EndToEnd, HardLinksRefusedAcrossFileSystemsBecomeCopies) {
  const fs::path other = other_device_directory();
  if (other.empty()) GTEST_SKIP() << "no directory on another file system was named";
  scoped_directory elsewhere(other);
  fs::copy(root() / "bin", elsewhere.path() / "bin", fs::copy_options::recursive);
  fs::remove_all(root() / "bin");
  fs::create_directory_symlink(elsewhere.path() / "bin", root() / "bin");
  struct stat a, b;
  ASSERT_EQ(stat(root().c_str(), &a), 0);
  ASSERT_EQ(stat(elsewhere.path().c_str(), &b), 0);
  if (a.st_dev == b.st_dev) GTEST_SKIP() << other << " is on the same file system as the tree";

  const outcome result = run({"toolchain", "-v"});
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
