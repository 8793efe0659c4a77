#include "driver.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "link_table.h"
#include "test_support.h"

namespace {

class Driver : public ::testing::Test {
 protected:
  scoped_directory tree;
  scoped_directory streams;
  captured_stream out{streams.path() / "out"};
  captured_stream err{streams.path() / "err"};
  working_directory_guard cwd;

  int run(std::vector<std::string> arguments, std::span<const link_entry> table = link_table) {
    std::vector<const char*> argv{"link-installer"};
    for (const std::string& argument : arguments) argv.push_back(argument.c_str());
    return run_installer(static_cast<int>(argv.size()), argv.data(), table, native_platform(),
                         out.get(), err.get());
  }

  bool walk(std::span<const link_entry> table, bool verbose) {
    fs::current_path(tree.path());
    return walk_table(table, verbose, native_platform(), out.get(), err.get());
  }

  // The trace of the built-in table on a tree where every hard link works.
  static std::string full_trace() {
    std::string trace = "Verbose mode.\n";
    for (const link_entry& row : link_table) {
      trace += std::string("link \"") + row.link_name + "\" -> \"" + row.target + "\"\n";
      trace += "processed hardlink\n";
    }
    return trace;
  }
};

TEST_F(Driver, NoArgumentIsRefusedBeforeAnythingElse) {
  const fs::path before = fs::current_path();
  EXPECT_EQ(run({}), 1);
  EXPECT_EQ(err.text(), "missing arguments\n");
  EXPECT_EQ(out.text(), "");
  EXPECT_EQ(fs::current_path(), before);
}

// A root longer than the message buffer is said whole, byte for byte.
TEST_F(Driver, UnusableRootGetsOnlyItsMessage) {
  for (const std::string& root :
       {(tree.path() / "no such tree").string(), std::string(9000, 'x')}) {
    const size_t err_before = err.text().size();
    EXPECT_EQ(run({root, "-v"}), 1);
    EXPECT_EQ(err.text().substr(err_before), "unable to _chdir to \"" + root + "\"\n");
  }
  EXPECT_EQ(out.text(), "");  // "Verbose mode." only follows a successful change
}

TEST_F(Driver, QuietRunOnCompleteTreeWritesNothingAndLinksAllRows) {
  make_tree(tree.path(), link_table);
  EXPECT_EQ(run({tree.path().string()}), 0);
  EXPECT_EQ(out.text(), "");
  EXPECT_EQ(err.text(), "");
  for (const link_entry& row : link_table) {
    EXPECT_TRUE(fs::equivalent(tree.path() / row.target, tree.path() / row.link_name))
        << row.link_name;
    EXPECT_EQ(read_file(tree.path() / row.link_name), program_content(row.target));
  }
}

TEST_F(Driver, VerboseRunTracesEveryRowInTableOrderAndRerunsTheSame) {
  make_tree(tree.path(), link_table);
  EXPECT_EQ(run({tree.path().string(), "-v"}), 0);
  EXPECT_EQ(run({tree.path().string(), "-v"}), 0);
  EXPECT_EQ(out.text(), full_trace() + full_trace());
  EXPECT_EQ(err.text(), "");
  for (const link_entry& row : link_table) {
    EXPECT_EQ(link_count(tree.path() / row.target), 2u) << row.target;
  }
}

TEST_F(Driver, VerboseSwitchIsTheFirstTwoBytesOfTheSecondArgumentOnly) {
  make_tree(tree.path(), link_table);
  const std::string root = tree.path().string();
  struct case_t {
    std::vector<std::string> arguments;
    bool verbose;
  };
  const std::vector<case_t> cases = {
      {{root, "-v"}, true},  {{root, "-verbose"}, true}, {{root, "-vq", "x"}, true},
      {{root, "-V"}, false}, {{root, "-"}, false},       {{root, "verbose"}, false},
      {{root, ""}, false},   {{root, "x", "-v"}, false}, {{root, "--v"}, false},
  };
  for (const case_t& c : cases) {
    SCOPED_TRACE(c.arguments[1]);
    const size_t out_before = out.text().size();
    EXPECT_EQ(run(c.arguments), 0);
    EXPECT_EQ(out.text().substr(out_before), c.verbose ? full_trace() : "");
  }
  EXPECT_EQ(err.text(), "");
}

// The usage and the version answer only to the whole first argument; any
// other word there is a tree root as before.
TEST_F(Driver, HelpAndVersionAnswerOnlyAsTheWholeFirstArgument) {
  make_tree(tree.path(), link_table);
  const std::string usage = "usage: link-installer ROOT [-v]\n";
  const std::string version = "link-installer " LINK_INSTALLER_VERSION "\n";
#ifdef _WIN32
  const bool slash_help = true;
#else
  const bool slash_help = false;
#endif
  struct case_t {
    std::vector<std::string> arguments;
    std::string out;  // what standard output begins with
    bool answered;    // status 0 with nothing on standard error
  };
  const std::vector<case_t> cases = {
      {{"--help"}, usage, true},
      {{"-h", "-v"}, usage, true},
      {{"/?"}, slash_help ? usage : "", slash_help},
      {{"--version"}, version, true},
      {{"--helpful"}, "", false},
      {{"-H"}, "", false},
      {{"--version=2"}, "", false},
      {{"version"}, "", false},
      {{tree.path().string(), "--help"}, "", true},
  };
  for (const case_t& c : cases) {
    SCOPED_TRACE(c.arguments[0]);
    const size_t out_before = out.text().size();
    const size_t err_before = err.text().size();
    EXPECT_EQ(run(c.arguments), c.answered ? 0 : 1);
    const std::string written = out.text().substr(out_before);
    EXPECT_EQ(written.substr(0, c.out.size()), c.out);
    if (c.out.empty()) {
      EXPECT_EQ(written, "");
    }
    EXPECT_EQ(err.text().substr(err_before),
              c.answered ? "" : "unable to _chdir to \"" + c.arguments[0] + "\"\n");
  }
  EXPECT_NE(out.text().find("-v "), std::string::npos);  // the usage names the switch
  EXPECT_NE(out.text().find("Exit status"), std::string::npos);
}

TEST_F(Driver, FailingRowStopsTheWalkAndKeepsEarlierRows) {
  const link_entry table[] = {
      {link_type::link, "a", "a2"},
      {link_type::link, "missing", "m2"},
      {link_type::link, "c", "c2"},
  };
  write_file(tree.path() / "a", "a");
  write_file(tree.path() / "c", "c");
  EXPECT_EQ(run({tree.path().string()}, table), 1);
  EXPECT_TRUE(fs::equivalent(tree.path() / "a", tree.path() / "a2"));
  EXPECT_FALSE(fs::exists(tree.path() / "m2"));
  EXPECT_FALSE(fs::exists(tree.path() / "c2"));
  EXPECT_EQ(out.text(), "");
  const std::string errors = err.text();
  EXPECT_NE(errors.rfind("creating link m2 to missing failed\n"), std::string::npos);
  EXPECT_EQ(errors.back(), '\n');
}

TEST_F(Driver, SymlinkRowIsRefusedWithoutLineEndAndMakesNothing) {
  write_file(tree.path() / "t", "t");
  const link_entry table[] = {
      {link_type::symlink, "t", "s"},
      {link_type::link, "t", "never"},
  };
  EXPECT_FALSE(walk(table, true));
  EXPECT_EQ(out.text(), "symlink \"s\" -> \"t\"\n");
  EXPECT_EQ(err.text(), "symbolic links not supported on Windows: \"s\" -> \"t\"");
  EXPECT_FALSE(fs::exists(tree.path() / "s"));
  EXPECT_FALSE(fs::exists(tree.path() / "never"));
}

TEST_F(Driver, QuietSymlinkRowWritesOnlyTheRefusal) {
  const link_entry table[] = {{link_type::symlink, "t", "s"}};
  EXPECT_FALSE(walk(table, false));
  EXPECT_EQ(out.text(), "");
  EXPECT_EQ(err.text(), "symbolic links not supported on Windows: \"s\" -> \"t\"");
}

TEST_F(Driver, CondlinkRowsLinkPresentTargetsAndPassOverAbsentOnes) {
  write_file(tree.path() / "present", "p");
  write_file(tree.path() / "kept", "untouched");
  fs::create_directories(tree.path() / "a-directory");
  const link_entry table[] = {
      {link_type::condlink, "absent", "kept"},
      {link_type::condlink, "a-directory", "from-directory"},
      {link_type::condlink, "present", "made"},
  };
  EXPECT_TRUE(walk(table, true));
  EXPECT_EQ(out.text(),
            "condlink \"kept\" -> \"absent\"\nskip condlink\n"
            "condlink \"from-directory\" -> \"a-directory\"\nskip condlink\n"
            "condlink \"made\" -> \"present\"\nprocess condlink\n"
            "link \"made\" -> \"present\"\nprocessed hardlink\n");
  EXPECT_EQ(err.text(), "");
  EXPECT_EQ(read_file(tree.path() / "kept"), "untouched");
  EXPECT_FALSE(fs::exists(tree.path() / "from-directory"));
  EXPECT_TRUE(fs::equivalent(tree.path() / "present", tree.path() / "made"));
}

TEST_F(Driver, QuietCondlinkWritesNothing) {
  write_file(tree.path() / "present", "p");
  const link_entry table[] = {
      {link_type::condlink, "absent", "x"},
      {link_type::condlink, "present", "made"},
  };
  EXPECT_TRUE(walk(table, false));
  EXPECT_EQ(out.text(), "");
  EXPECT_EQ(err.text(), "");
  EXPECT_TRUE(fs::equivalent(tree.path() / "present", tree.path() / "made"));
}

TEST_F(Driver, SkipRowWritesNothingEvenVerbose) {
  write_file(tree.path() / "t", "t");
  const link_entry table[] = {{link_type::skip, "t", "s"}, {link_type::skip, "t", "s2"}};
  EXPECT_TRUE(walk(table, true));
  EXPECT_EQ(out.text(), "");
  EXPECT_EQ(err.text(), "");
  EXPECT_FALSE(fs::exists(tree.path() / "s"));
}

TEST_F(Driver, UnknownTypesAreRefusedWithTheirValue) {
  write_file(tree.path() / "t", "t");
  for (const std::int32_t type : {4, -1, INT32_MIN, INT32_MAX}) {
    SCOPED_TRACE(type);
    const size_t err_before = err.text().size();
    const link_entry table[] = {{type, "t", "s"}, {link_type::link, "t", "never"}};
    EXPECT_FALSE(walk(table, true));
    EXPECT_EQ(err.text().substr(err_before), "unsupported type: " + std::to_string(type) + "\n");
  }
  EXPECT_EQ(out.text(), "");
  EXPECT_FALSE(fs::exists(tree.path() / "s"));
  EXPECT_FALSE(fs::exists(tree.path() / "never"));
}

#ifdef _WIN32
// Where the tree's lock cannot be had, as when another object holds its name,
// runs could undo each other's names: the run stops before the first one.
TEST_F(Driver, LockThatCannotBeHadStopsTheRun) {
  make_tree(tree.path(), link_table);
  const HANDLE directory =
      CreateFileA(tree.path().string().c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  BY_HANDLE_FILE_INFORMATION root{};
  ASSERT_NE(GetFileInformationByHandle(directory, &root), FALSE);
  CloseHandle(directory);
  char name[64];
  std::snprintf(name, sizeof name, "Global\\link-installer-%08lx-%08lx-%08lx",
                root.dwVolumeSerialNumber, root.nFileIndexHigh, root.nFileIndexLow);
  // The lock an earlier test's run holds may bear this name: Wine's file
  // index is the inode, which a new directory can take over.
  fs::current_path(streams.path());
  ASSERT_EQ(native_platform().lock_tree(0), platform::lock_result::go_on);
  const HANDLE squatter = CreateEventA(nullptr, TRUE, FALSE, name);
  ASSERT_NE(squatter, nullptr);
  EXPECT_EQ(run({tree.path().string()}), 1);
  CloseHandle(squatter);
  EXPECT_EQ(err.text(), error_report(ERROR_INVALID_HANDLE) + "unable to lock \"" +
                            tree.path().string() + "\" against other runs\n");
  EXPECT_FALSE(fs::exists(tree.path() / link_table[0].link_name));
}
#endif

}  // namespace
