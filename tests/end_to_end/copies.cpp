// Copies where hard links are refused: made whole or not at all, kept on a
// rerun where they are exact, and never at the cost of a program, whatever
// fails or kills the run.
#include "end_to_end/harness.h"

namespace end_to_end {
namespace {

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
      // Within FAT's 2 seconds, but finer than the 10 ms of any FAT or exFAT step.
      {12,
       [&] {
         const fs::path target = root() / expected_rows[12][1];
         auto at = fs::last_write_time(target);
         at +=
             std::chrono::nanoseconds(123456700) - at.time_since_epoch() % std::chrono::seconds(1);
         fs::last_write_time(target, at);
         fs::last_write_time(root() / expected_rows[12][0], at + std::chrono::milliseconds(1500));
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
  // A private file outside the tree that the old copy's file is, by a hard
  // link of the user's: its bits must not change.
  const fs::path private_file = elsewhere->path() / "private";
  if (!windows_tool) {
    changes.emplace_back(6, [&] {
      fs::permissions(root() / expected_rows[6][0], fs::perms(0700));
      fs::create_hard_link(root() / expected_rows[6][0], private_file);
    });
  }
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
  if (!windows_tool) {
    EXPECT_EQ(fs::status(private_file).permissions(), fs::perms(0700));
  }
  // A target made read-only: its old copy is made anew, read-only too. Its
  // attribute, tried on the old copy, must not stay to refuse the rename.
  const fs::path ro_target = root() / expected_rows[5][1], ro_copy = root() / expected_rows[5][0];
  fs::permissions(ro_target, fs::perms(0444));
  const ino_t writable = file_of(5);
  EXPECT_EQ(run({"toolchain"}).status, 0);
  EXPECT_NE(file_of(5), writable);
  EXPECT_EQ(fs::status(ro_copy).permissions() & fs::perms::owner_write, fs::perms::none);
  // Natively, an old copy with a file capability, which no copy carries, is made anew.
  if (!windows_tool && geteuid() == 0 && have("setcap")) {
    const ino_t with_capability = file_of(7);
    const fs::path capable = root() / expected_rows[7][0];
    ASSERT_EQ(std::system(("setcap cap_setuid=ep '" + capable.string() + "'").c_str()), 0);
    EXPECT_EQ(run({"toolchain"}).status, 0);
    EXPECT_NE(file_of(7), with_capability);
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

// A run killed while it copies: no second name may hold part of a program,
// no temporary file may stay, and the next run, not held up by the dead
// run's lock, completes the tree. Natively strace delivers SIGKILL on the
// first kernel call that moves the data. Wine's writes cannot be told apart
// from its other calls, so the .exe is killed as soon as its temporary file
// holds data, while it copies a large target.
TEST_F(EndToEndAcrossDevices, KilledDuringACopyLeavesNoPartialProgram) {
  if (!windows_tool && !have("strace")) GTEST_SKIP() << "no strace";
  write_file(root() / expected_rows[4][1], std::string(windows_tool ? 64 << 20 : 1 << 20, 'a'));
  write_file(root() / expected_rows[4][0], "an older ar");  // stays whole until replaced
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
  }
  EXPECT_EQ(read_file(root() / expected_rows[4][0]), "an older ar");
  EXPECT_NE(killed.status, 0);
  EXPECT_TRUE(fs::equivalent(root() / expected_rows[3][0], root() / expected_rows[3][1]));
  for (const auto& row : expected_rows) {
    if (fs::exists(root() / row[0]) && std::strcmp(row[0], expected_rows[4][0]) != 0) {
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
  std::sort(kept.begin(), kept.end());
  // Natively, a kill once the copy is whole, at its link beside the old name
  // (the first link is the refused hard link) or at its rename over it,
  // costs the old name nothing, and the next run sweeps what it left.
  for (const char* kill :
       {"linkat:signal=SIGKILL:when=2", "rename,renameat2:signal=SIGKILL:when=1"}) {
    if (windows_tool) break;
    write_file(root() / expected_rows[4][0], "an older ar");
    std::optional<tool_prefix> strace(
        std::in_place, std::vector<std::string>{"strace", "-f", "-o", "/dev/null", "-e",
                                                "inject=" + std::string(kill)});
    EXPECT_NE(run({"toolchain"}).status, 0) << kill;
    strace.reset();
    EXPECT_EQ(read_file(root() / expected_rows[4][0]), "an older ar") << kill;
    EXPECT_EQ(run({"toolchain"}).status, 0);
  }
  std::vector<std::string> found = leftovers(elsewhere->path());
  std::sort(found.begin(), found.end());
  EXPECT_EQ(found, kept);
}

// A disk that fills up during a copy: "bin" on a tmpfs too small for ar, or
// for a second ar beside an old one.
TEST_F(EndToEnd, DiskFullDuringCopyLeavesNoPartialFile) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
  const fs::path small = base.path() / "small";
  setenv("DIR", small.c_str(), 1);
  const scoped_mount mount(R"(mount -t tmpfs -o size=4m tmpfs "$DIR")");
  if (!mount.mounted()) GTEST_SKIP() << "this machine does not allow tmpfs mounts";
  ASSERT_TRUE(move_bin_to(root(), small));
  const fs::path target = root() / expected_rows[4][1], name = root() / expected_rows[4][0];
  write_file(target, std::string(5 << 20, 'a'));

  const outcome result = run({"toolchain"});
  EXPECT_FALSE(fs::exists(root() / expected_rows[4][0]));
  EXPECT_EQ(leftovers(small), std::vector<std::string>{});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, disk_full_report() +
                            "creating link bin/arm-uclinuxeabi-ar.exe to "
                            "arm-uclinuxeabi/bin/ar.exe failed\n");
  EXPECT_TRUE(fs::equivalent(root() / expected_rows[3][0], root() / expected_rows[3][1]));

  // An old copy apart from its read-only target in its write bit alone, which
  // is tried on it and put back, and whose replacement fills the disk: it
  // stays as it was, bits and bytes.
  write_file(target, std::string(3 << 20, 'b'));
  fs::copy_file(target, name);
  fs::last_write_time(name, fs::last_write_time(target));
  fs::permissions(target, fs::perms(0444));
  EXPECT_EQ(run({"toolchain"}).err, result.err);
  EXPECT_EQ(read_file(name), read_file(target));
  EXPECT_NE(fs::status(name).permissions() & fs::perms::owner_write, fs::perms::none);

  // Natively, an old name that is no file, a dangling link or a FIFO, is
  // replaced in one rename too: it stays as it was.
  write_file(target, std::string(5 << 20, 'c'));
  for (const bool fifo : windows_tool ? std::vector<bool>{} : std::vector<bool>{false, true}) {
    fs::remove(name);
    if (fifo) {
      ASSERT_EQ(mkfifo(name.c_str(), 0644), 0);
    } else {
      fs::create_symlink("/opt/elsewhere/ar", name);
    }
    // The keep check opens no old name that is no regular file: a device would act.
    const fs::path calls = base.path() / "calls";
    std::optional<tool_prefix> traced = watch_writes(calls);
    EXPECT_EQ(run({"toolchain"}).err, result.err);
    traced.reset();
    if (fs::exists(calls)) {
      EXPECT_EQ(read_file(calls).find("openat(AT_FDCWD, \"bin/arm-uclinuxeabi-ar.exe\","),
                std::string::npos);
    }
    const fs::file_status kept = fs::symlink_status(name);
    EXPECT_TRUE(fifo ? fs::is_fifo(kept)
                     : fs::is_symlink(kept) && fs::read_symlink(name) == "/opt/elsewhere/ar");
    EXPECT_EQ(leftovers(small), std::vector<std::string>{});
  }
}

TEST_F(AsUnprivilegedUser, RootWithoutSearchPermission) {
  fs::permissions(root(), fs::perms::owner_read | fs::perms::owner_write);
  const outcome result = run({"toolchain", "-v"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "unable to _chdir to \"toolchain\"\n");
  fs::permissions(root(), fs::perms::owner_all);
}

TEST_F(AsUnprivilegedUser, ReadOnlyDirectoryKeepsItsOldName) {
  const fs::path name = root() / expected_rows[4][0], target = root() / expected_rows[4][1];
  write_file(name, "an older ar");
  ASSERT_EQ(chown((root() / "bin").c_str(), 0, 0), 0);
  fs::permissions(root() / "bin", fs::perms(0555));
  const outcome result = run({"toolchain"});
  fs::permissions(root() / "bin", fs::perms(0755));
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  // No file can be made beside the old name, which is never deleted first:
  // that refusal is the reason told.
  EXPECT_EQ(result.err,
            "Error(13): Permission denied\n"
            "creating link bin/arm-uclinuxeabi-ar.exe to arm-uclinuxeabi/bin/ar.exe failed\n");
  EXPECT_EQ(read_file(root() / expected_rows[4][0]), "an older ar");
  EXPECT_TRUE(fs::equivalent(root() / expected_rows[3][0], root() / expected_rows[3][1]));
  EXPECT_FALSE(fs::exists(root() / expected_rows[5][0]));
  // The target's twin but for a set-group-id bit, in a group its owner is not
  // in: the kernel would not let the run put that bit back, so it is never tried.
  fs::remove(name);
  fs::copy_file(target, name);
  fs::last_write_time(name, fs::last_write_time(target));
  ASSERT_EQ(chown(name.c_str(), nobody, 0), 0);
  fs::permissions(name, fs::perms(02755));
  fs::permissions(root() / "bin", fs::perms(0555));
  EXPECT_EQ(run({"toolchain"}).err, result.err);
  fs::permissions(root() / "bin", fs::perms(0755));
  EXPECT_EQ(fs::status(name).permissions(), fs::perms(02755));
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

}  // namespace
}  // namespace end_to_end
