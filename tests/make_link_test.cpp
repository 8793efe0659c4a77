#include "make_link.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "test_support.h"

#ifndef _WIN32
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#endif

namespace {

#ifdef _WIN32
constexpr platform::error_code file_not_found = 2;  // ERROR_FILE_NOT_FOUND
#else
constexpr platform::error_code file_not_found = ENOENT;
#endif

class MakeLink : public ::testing::Test {
 protected:
  scoped_directory tree;
  scoped_directory streams;
  captured_stream out{streams.path() / "out"};
  captured_stream err{streams.path() / "err"};
  working_directory_guard cwd;

  void SetUp() override { fs::current_path(tree.path()); }

  bool make(const char* target, const char* link_name, bool verbose) {
    return make_link(target, link_name, verbose, native_platform(), out.get(), err.get());
  }
};

TEST_F(MakeLink, NewNameBecomesHardLinkAndSecondRunMakesItAgain) {
  write_file("bin/c++.exe", "compiler");
  ASSERT_TRUE(make("bin/c++.exe", "bin/g++.exe", true));
  EXPECT_TRUE(fs::equivalent("bin/c++.exe", "bin/g++.exe"));

  ASSERT_TRUE(make("bin/c++.exe", "bin/g++.exe", true));
  EXPECT_TRUE(fs::equivalent("bin/c++.exe", "bin/g++.exe"));
  EXPECT_EQ(link_count("bin/c++.exe"), 2u);
  EXPECT_EQ(out.text(), "processed hardlink\nprocessed hardlink\n");
  EXPECT_EQ(err.text(), "");
}

TEST_F(MakeLink, QuietSuccessWritesNothing) {
  write_file("a", "program");
  ASSERT_TRUE(make("a", "b", false));
  EXPECT_TRUE(fs::equivalent("a", "b"));
  EXPECT_EQ(out.text(), "");
  EXPECT_EQ(err.text(), "");
}

TEST_F(MakeLink, UnrelatedFileAtNameIsReplaced) {
  write_file("a", "new program");
  write_file("b", "old unrelated content");
  ASSERT_TRUE(make("a", "b", false));
  EXPECT_TRUE(fs::equivalent("a", "b"));
  EXPECT_EQ(read_file("b"), "new program");
}

// Deleting the name before knowing the target exists would throw away what
// may be the last copy of the program.
TEST_F(MakeLink, MissingTargetKeepsExistingNameAndFails) {
  write_file("bin/gcc.exe", "the only copy left");
  for (const bool verbose : {false, true}) {
    SCOPED_TRACE(verbose ? "verbose" : "quiet");
    const std::string err_before = err.text();
    EXPECT_FALSE(make("bin/gcc-4.4.1.exe", "bin/gcc.exe", verbose));
    EXPECT_EQ(read_file("bin/gcc.exe"), "the only copy left");
    EXPECT_FALSE(fs::exists("bin/gcc-4.4.1.exe"));

    const std::string report = error_report(file_not_found);
    std::string expected = verbose ? report : "";
    expected += report + "creating link bin/gcc.exe to bin/gcc-4.4.1.exe failed\n";
    EXPECT_EQ(err.text().substr(err_before.size()), expected);
  }
  EXPECT_EQ(out.text(), "");
}

#ifndef _WIN32
// A name that already leads to the target's file, through a symbolic link
// back from the target, a directory alias, or a symbolic link of its own, is
// done: deleting it could take the only copy, or the link the target passes
// through. A target that is a symbolic link gives a name that is the
// program's own file, not another link. (Wine makes no symbolic links; the
// end-to-end suite runs such trees against the Windows build.)
TEST_F(MakeLink, NameThatAlreadyLeadsToTheTargetsFileIsKept) {
  struct case_t {
    const char* label;
    const char* target;
    void (*lay_out)();
    bool name_is_symlink;
    unsigned links;
  };
  const case_t cases[] = {
      {"target links back", "bin/gcc-4.4.1.exe",
       [] { fs::create_symlink("gcc.exe", "bin/gcc-4.4.1.exe"); }, false, 1},
      {"directory alias", "lib/bin/gcc.exe",
       [] { fs::create_directory_symlink("../bin", "lib/bin"); }, false, 1},
      {"name links to target", "bin/gcc-4.4.1.exe",
       [] {
         fs::rename("bin/gcc.exe", "bin/gcc-4.4.1.exe");
         fs::create_symlink("gcc-4.4.1.exe", "bin/gcc.exe");
       },
       true, 1},
      {"target links through the name", "bin/gcc-4.4.1.exe",
       [] {
         fs::rename("bin/gcc.exe", "lib/gcc");
         fs::create_symlink("../lib/gcc", "bin/gcc.exe");
         fs::create_symlink("gcc.exe", "bin/gcc-4.4.1.exe");
       },
       true, 1},
      {"target is a symbolic link", "bin/gcc-4.4.1.exe",
       [] {
         fs::rename("bin/gcc.exe", "lib/gcc");
         fs::create_symlink("../lib/gcc", "bin/gcc-4.4.1.exe");
       },
       false, 2},
  };
  for (const case_t& c : cases) {
    SCOPED_TRACE(c.label);
    fs::remove_all("bin");
    fs::remove_all("lib");
    write_file("bin/gcc.exe", "the compiler driver");
    fs::create_directories("lib");
    c.lay_out();
    const std::string out_before = out.text();
    ASSERT_TRUE(make(c.target, "bin/gcc.exe", true));
    EXPECT_EQ(out.text().substr(out_before.size()), "processed hardlink\n");
    EXPECT_EQ(read_file("bin/gcc.exe"), "the compiler driver");
    EXPECT_EQ(fs::is_symlink("bin/gcc.exe"), c.name_is_symlink);
    EXPECT_EQ(link_count("bin/gcc.exe"), c.links);
  }
  EXPECT_EQ(err.text(), "");
}
#endif

TEST_F(MakeLink, MissingTargetAndMissingNameCreatesNothing) {
  EXPECT_FALSE(make("absent", "also-absent", false));
  EXPECT_FALSE(fs::exists("also-absent"));
  EXPECT_EQ(err.text(),
            error_report(file_not_found) + "creating link also-absent to absent failed\n");
}

TEST_F(MakeLink, DirectoryAtNameIsLeftAloneAndFails) {
  write_file("a", "program");
  write_file("b/inside", "kept");
  EXPECT_FALSE(make("a", "b", true));
  EXPECT_TRUE(fs::is_directory("b"));
  EXPECT_EQ(read_file("b/inside"), "kept");
  EXPECT_EQ(out.text(), "");
  EXPECT_NE(err.text().find("creating link b to a failed\n"), std::string::npos);
}

TEST_F(MakeLink, MissingDirectoryOnTheWayCreatesNothing) {
  write_file("a", "program");
  EXPECT_FALSE(make("a", "no/such/dir/b", false));
  EXPECT_FALSE(fs::exists("no"));
  EXPECT_NE(err.text().find("creating link no/such/dir/b to a failed\n"), std::string::npos);
}

// Where the hard link is refused because the name lies on another file system.
class MakeLinkAcrossDevices : public MakeLink {
 protected:
  void SetUp() override {
    MakeLink::SetUp();
    const fs::path other = other_device_directory();
    if (other.empty()) GTEST_SKIP() << "no directory on another file system was named";
    elsewhere.emplace(other);
    write_file("probe", "x");
    std::error_code refused;
    fs::create_hard_link("probe", elsewhere->path() / "probe", refused);
    if (!refused) GTEST_SKIP() << other << " shares a file system with " << tree.path();
  }
  std::optional<scoped_directory> elsewhere;
};

// The copy stands in for a hard link: same bytes, same permission bits
// whatever the umask, same modification time.
TEST_F(MakeLinkAcrossDevices, CopyIsTheTargetsTwin) {
  std::string program(300000, '\0');
  for (size_t i = 0; i < program.size(); ++i) program[i] = static_cast<char>(i * 7 % 251);
  write_file("ar.exe", program);
  const auto written = fs::last_write_time("ar.exe") - std::chrono::hours(24 * 400);
  fs::last_write_time("ar.exe", written);
#ifndef _WIN32
  fs::permissions("ar.exe", fs::perms(0755));
  const mode_t umask_before = umask(077);
#endif
  const std::string name = (elsewhere->path() / "arm-uclinuxeabi-ar.exe").string();
  write_file(name, "stale copy from an earlier run");

  const bool made = make("ar.exe", name.c_str(), true);
#ifndef _WIN32
  umask(umask_before);
  EXPECT_EQ(fs::status(name).permissions() & fs::perms::all, fs::perms(0755));
#endif
  ASSERT_TRUE(made);
  EXPECT_FALSE(fs::equivalent("ar.exe", name));
  EXPECT_EQ(read_file(name), program);
  EXPECT_EQ(fs::last_write_time(name), written);
  EXPECT_EQ(out.text(), "processed copy\n");
  // One report, for the refused hard link, and no failure line.
  const std::string reports = err.text();
  EXPECT_EQ(reports.rfind("Error(", 0), 0u) << reports;
  EXPECT_EQ(reports.find("Error(", 1), std::string::npos) << reports;
  EXPECT_EQ(reports.find("failed"), std::string::npos) << reports;
}

TEST_F(MakeLinkAcrossDevices, QuietCopyWritesNothing) {
  write_file("nm.exe", "nm");
  const std::string name = (elsewhere->path() / "nm.exe").string();
  ASSERT_TRUE(make("nm.exe", name.c_str(), false));
  EXPECT_EQ(read_file(name), "nm");
  EXPECT_EQ(out.text(), "");
  EXPECT_EQ(err.text(), "");
}

#ifndef _WIN32
// A copy that fails after some bytes were written must take its partial file
// away. A file size limit makes the write fail midway without privileges.
TEST_F(MakeLinkAcrossDevices, FailedCopyLeavesNoPartialFile) {
  write_file("big.exe", std::string(1 << 20, 'x'));
  const std::string name = (elsewhere->path() / "big.exe").string();

  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = 64 * 1024;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool made = make("big.exe", name.c_str(), false);
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, old_handler);

  EXPECT_FALSE(made);
  EXPECT_FALSE(fs::exists(name));
  EXPECT_EQ(err.text(), error_report(EFBIG) + "creating link " + name + " to big.exe failed\n");
}

// Without the tree's lock, another run may be writing its temporary file right
// now: a copy then removes no leftover, even one of this user's, of the very shape.
TEST_F(MakeLinkAcrossDevices, CopyWithoutTheTreesLockRemovesNoLeftover) {
  write_file("ar.exe", "program");
  const std::string name = (elsewhere->path() / "ar.exe").string();
  write_file(name + ".link-installer-Ab12Cd", "");
  ASSERT_TRUE(native_platform().change_directory("."));  // in the tree, but not holding it
  EXPECT_TRUE(make("ar.exe", name.c_str(), false));
  EXPECT_TRUE(fs::exists(name + ".link-installer-Ab12Cd"));
}
#endif

TEST(ReportLastError, ReportIsOneWholeLine) {
  scoped_directory dir;
  captured_stream err(dir.path() / "err");
  const std::string missing = (dir.path() / "missing").string();
  const std::string name = (dir.path() / "name").string();
  EXPECT_FALSE(native_platform().create_hard_link(name.c_str(), missing.c_str()));
  report_last_error(native_platform(), err.get());
  const std::string text = err.text();
  EXPECT_EQ(text.rfind("Error(" + std::to_string(file_not_found) + "): ", 0), 0u) << text;
  ASSERT_GT(text.size(), 12u);
  EXPECT_EQ(text.back(), '\n');
  EXPECT_EQ(text.find('\n'), text.size() - 1);
}

#ifdef _WIN32
// Where the system has no text for a code, the report's text is empty rather
// than a null pointer handed to printf.
TEST(ReportLastError, CodeWithoutSystemTextGivesAnEmptyText) {
  EXPECT_EQ(native_platform().error_text(0x2FFFFFF0u), "");
}

// A text with an insert shows it as written, rather than reading an insert
// value that was never passed; a text without one is the system's own.
TEST(ReportLastError, InsertsAreShownAsWritten) {
  EXPECT_NE(native_platform().error_text(193).find("%1"),
            std::string::npos);  // ERROR_BAD_EXE_FORMAT
  char* text = nullptr;
  FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 2,
                 MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&text), 0,
                 nullptr);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(native_platform().error_text(2), text);
  LocalFree(text);
}
#endif

}  // namespace
