// The command line, the exit status and the trace: what a run says, and what it
// leaves, on trees whose every name can be a hard link.
#include "end_to_end/harness.h"

namespace end_to_end {
namespace {

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
// in one step, and natively strace sees none of them removed first. A run
// killed between a hard link and its rename leaves the link under its
// temporary name, which the next run, replacing that name, removes: natively
// over an old name that cannot be followed too, and whoever owns the target.
TEST_F(EndToEnd, VerboseRunTracesTheTableInOrderTwice) {
  for (const auto& row : expected_rows) write_file(root() / row[0], "an older program");
  const fs::path calls = base.path() / "calls";
  if (!windows_tool && have("strace")) {
    fs::remove(root() / expected_rows[0][0]);
    fs::create_symlink("/nonexistent/gdbserver", root() / expected_rows[0][0]);
    const tool_prefix killed({"strace", "-f", "-o", "/dev/null", "-e", "trace=rename,renameat2",
                              "-e", "inject=rename,renameat2:signal=SIGKILL:when=1"});
    EXPECT_NE(run({"toolchain"}).status, 0);
    EXPECT_EQ(leftovers(root()).size(), 1u);
  }
  const passwd* nobody = getpwnam("nobody");
  if (!windows_tool && geteuid() == 0 && nobody != nullptr) {
    const fs::path target = root() / expected_rows[4][1];
    ASSERT_EQ(chown(target.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    fs::create_hard_link(target, root() / "bin/arm-uclinuxeabi-ar.exe.link-installer-0a1b2c");
  }
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
  EXPECT_EQ(leftovers(root()), std::vector<std::string>{});
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
  const std::string errors = missing_file_report() + missing_file_report() +
                             "creating link bin/arm-uclinuxeabi-gcc.exe to "
                             "bin/arm-uclinuxeabi-gcc-4.4.1.exe failed\n";
  EXPECT_EQ(result.err, errors);
  EXPECT_EQ(read_file(root() / expected_rows[13][0]), "the only gcc left");
  // Both streams through one pipe, as a build script's log takes them: the
  // trace comes in the order of the run, before the errors that end it.
  const tool_prefix merged({"sh", "-c", R"("$@" 2>&1 | cat)", "sh"});
  EXPECT_EQ(run({"toolchain", "-v"}).out, expected + errors);
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
  // The target is a symbolic link to a name of a dead run's shape beside the
  // old name, and the program has another name: no sweep may take that one.
  const fs::path named = root() / (expected_rows[3][0] + std::string(".link-installer-abcdef"));
  fs::rename(root() / expected_rows[3][1], named);
  fs::create_symlink(named.filename(), root() / expected_rows[3][1]);
  fs::create_hard_link(named, root() / "c++.exe");
  write_file(root() / expected_rows[3][0], "an older program");

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
  EXPECT_EQ(read_file(root() / expected_rows[3][1]), program_content(expected_rows[3][1]));
}

TEST_F(EndToEnd, DirectoryAtFirstNameStopsTheRunAtOnce) {
  fs::create_directories(root() / expected_rows[0][0]);
  const outcome result = run({"toolchain"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  // The reason told is the delete's, which the directory refuses.
  EXPECT_EQ(result.err,
            (windows_tool ? "Error(5): Access denied.\n" : "Error(21): Is a directory\n") +
                std::string("creating link arm-uclinuxeabi/libc/thumb2/usr/bin/gdbserver "
                            "to arm-uclinuxeabi/libc/thumb2/usr/lib/bin/gdbserver failed\n"));
  EXPECT_TRUE(fs::is_directory(root() / expected_rows[0][0]));
  EXPECT_FALSE(fs::exists(root() / expected_rows[1][0]));
  // Natively, a symbolic link to a directory is kept as one, run after run:
  // here the g++ row's old name, through which its own target leads.
  if (windows_tool) return;
  fs::remove(root() / expected_rows[0][0]);
  const fs::path gxx = root() / expected_rows[10][0], cxx = root() / expected_rows[10][1];
  fs::create_directory_symlink("../arm-uclinuxeabi/bin", gxx);
  fs::remove(cxx);
  fs::create_symlink("arm-uclinuxeabi-g++.exe/c++.exe", cxx);
  for (int pass = 0; pass < 2; ++pass) {
    EXPECT_EQ(run({"toolchain"}).err, "Error(21): Is a directory\ncreating link " +
                                          std::string(expected_rows[10][0]) + " to " +
                                          expected_rows[10][1] + " failed\n");
    EXPECT_EQ(fs::read_symlink(gxx), "../arm-uclinuxeabi/bin");
    EXPECT_EQ(read_file(cxx), program_content("arm-uclinuxeabi/bin/c++.exe"));
  }
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

}  // namespace
}  // namespace end_to_end
