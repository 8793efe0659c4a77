// What only the Windows tool meets: the runtime's wildcards, roots in any
// script, and /?.
#include "end_to_end/harness.h"

namespace end_to_end {
namespace {

// The Windows runtime expands wildcards before main; a POSIX shell does that
// for the native tool, so only the .exe is asked to.
TEST_F(EndToEnd, WildcardRootMatchingOneDirectory) {
  if (!windows_tool) GTEST_SKIP() << "wildcards are expanded by the shell on POSIX";
  const outcome result = run({"tool*", "-v"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out.rfind("Verbose mode.\n" + link_line(0), 0), 0u) << result.out;
  EXPECT_EQ(result.err, "");
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

// An old second name that another program holds open for a moment, as a
// virus scanner or the indexer does, sharing reading, nothing or everything,
// or through a mapped view alone, is waited for, on the relink and on the
// copy path; one held for good fails its row within seconds with the sharing
// violation and stays, even when the run is killed while it waits. A held
// target is waited for under its own name, but not where no hard link can be
// made: a rerun over copies then waits for nothing. A running program, which
// no wait changes, costs no wait. No row leaves a temporary name, not even
// with a program that takes the target once one appears ("late"), or one
// that holds it sharing everything beside a holder of the old name ("both").
TEST_F(EndToEnd, NameHeldOpenByAnotherProgram) {
  if (!windows_tool) GTEST_SKIP() << "POSIX has no such locks";
  const fs::path holder = fs::path(tool_command.back()).parent_path() / "tests/file-holder.exe";
  if (!fs::exists(holder)) GTEST_SKIP() << "no " << holder;
  const fs::path name = root() / expected_rows[4][0], target = root() / expected_rows[4][1];
  const auto timed_run = [&](double& seconds) {
    const auto start = std::chrono::steady_clock::now();
    const outcome result = run({"toolchain"});
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return result;
  };
  // A dead relink's hard link beside an old name goes with the relink.
  write_file(name, "an older ar");
  const fs::path dead = name.string() + ".link-installer-0000abcd-80000000";
  fs::create_hard_link(target, dead);
  double plain = 0, seconds = 0;
  EXPECT_EQ(timed_run(plain).status, 0);
  EXPECT_FALSE(fs::exists(dead));
  const auto waiting = [](const char* path) {
    std::string shown = path;
    std::replace(shown.begin(), shown.end(), '/', '\\');
    return "waiting for \"" + shown + "\", which another program has open\n";
  };
  const std::string failed =
      "creating link bin/arm-uclinuxeabi-ar.exe to arm-uclinuxeabi/bin/ar.exe failed\n";
  const std::string held_for_good =
      waiting(expected_rows[4][0]) + "Error(32): Sharing violation.\n";
  std::optional<scoped_directory> other;
  struct row {
    fs::path held;
    const char* share;
    const char* ms;
    std::string how;  // "late", "both", or the copy path: "copy", "copy kill", "copy rerun"
  };
  for (const auto& [held, share, ms, how] : {row{name, "read", "1500", ""},
                                             {name, "none", "1500", ""},
                                             {name, "all", "1500", ""},
                                             {name, "map", "1500", ""},
                                             {name, "all", "1000", "late"},
                                             {name, "read", "40000", ""},
                                             {name, "all", "40000", "both"},
                                             {target, "read", "3000", ""},
                                             {target, "none", "40000", ""},
                                             {base.path() / "x", "read", "9000", ""},
                                             {name, "all", "1500", "copy"},
                                             {target, "none", "2000", "copy"},
                                             {name, "all", "40000", "copy"},
                                             {name, "all", "40000", "copy kill"},
                                             {target, "read", "40000", "copy rerun"}}) {
    SCOPED_TRACE(std::string(share) + " " + ms + " " + held.string() + " " + how);
    const bool copy_path = how.rfind("copy", 0) == 0;
    if (copy_path && !other) {
      if (other_device_directory().empty()) break;
      other.emplace(other_device_directory());
      ASSERT_TRUE(move_bin_to(root(), other->path()));
    }
    const bool running = held == base.path() / "x";
    fs::remove(name);
    if (!running) {
      write_file(name, "an older ar");
    } else {  // the old name is the running holder itself
      fs::copy_file(holder, name);
      write_file(held, "");
    }
    if (how == "copy rerun") {
      EXPECT_EQ(run({"toolchain"}).status, 0);
    }
    const std::vector<std::string> tool = tool_command;
    tool_command = {tool.front(), running ? name.string() : holder.string()};
    std::vector<started_run> holding;
    holding.push_back(start_tool(base.path(), {held.string(), ms, share}));
    // Takes the target, sharing nothing, once a temporary name appears.
    if (how == "late")
      holding.push_back(start_tool(
          base.path(), {target.string(), "40000", "none", name.string() + ".link-installer-*"}));
    // And the target held too, sharing everything, as a scanner holds both.
    if (how == "both") holding.push_back(start_tool(base.path(), {target.string(), "40000", "all"}));
    tool_command = tool;
    for (const started_run& one : holding) {
      for (int i = 0; read_file(one.streams->path() / "out").empty() && i < 300; ++i) {
        usleep(100000);
      }
    }
    const std::string before = read_file(name);
    struct stat old_status {};
    stat(name.c_str(), &old_status);
    const auto start = std::chrono::steady_clock::now();
    const started_run tool_run = start_tool(base.path(), {"toolchain"});
    const bool killed = how == "copy kill";  // once the run says it waits, as a user's Ctrl+C
    for (int i = 0; killed && read_file(tool_run.streams->path() / "err").empty() && i < 3000; ++i)
      usleep(10000);
    if (killed) signal_run(tool_run, SIGKILL);
    const outcome result = finish_tool(tool_run);
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // Checked while the holders hold too: a name only pending deletion still shows.
    if (!killed) {
      EXPECT_EQ(leftovers(other ? other->path() : root()), std::vector<std::string>{});
    }
    for (const started_run& one : holding) {
      signal_run(one, SIGKILL);
      finish_tool(one);
    }
    EXPECT_EQ(leftovers(other ? other->path() : root()), std::vector<std::string>{});
    if (killed || how == "copy rerun") {  // the old name stays, not even written anew
      struct stat status {};
      stat(name.c_str(), &status);
      EXPECT_EQ(read_file(name), before);
      EXPECT_EQ(status.st_ino, old_status.st_ino);
      EXPECT_EQ(result.status, killed ? -1 : 0);
      EXPECT_EQ(result.err, killed ? waiting(expected_rows[4][0]) : "");
      EXPECT_LT(seconds, killed ? 30 : plain + 1);
      continue;
    }
    if (std::string(ms) != "40000" && std::string(ms) != "9000") {
      EXPECT_EQ(result.status, 0);
      if (held == target) {
        EXPECT_EQ(result.err, waiting(expected_rows[4][1]));
      } else {
        EXPECT_TRUE(result.err.empty() || result.err == waiting(expected_rows[4][0])) << result.err;
      }
      if (copy_path) {
        EXPECT_EQ(read_file(name), read_file(target));
      } else {
        EXPECT_TRUE(fs::equivalent(name, target));
      }
      continue;
    }
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(read_file(name), before);
    if (held == target) {
      EXPECT_EQ(result.err,
                waiting(expected_rows[4][1]) + "Error(32): Sharing violation.\n" + failed);
    } else if (held == name) {
      EXPECT_LT(seconds, 15);
      EXPECT_EQ(result.err, held_for_good + failed);
    } else {
      EXPECT_LT(seconds, plain + 1);
      EXPECT_EQ(result.err, "Error(5): Access denied.\n" + failed);
    }
  }
}

}  // namespace
}  // namespace end_to_end
