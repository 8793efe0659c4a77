// Runs on one tree at the same time: they take turns, and a run kept waiting
// says so.
#include "end_to_end/harness.h"

namespace end_to_end {
namespace {

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

}  // namespace
}  // namespace end_to_end
