// File systems that offer less: exFAT and FAT through FUSE, and a FUSE file
// system whose reads fail.
#include "end_to_end/harness.h"

namespace end_to_end {
namespace {

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
    // Natively, a kill at the rename of a whole copy, named beside an old
    // name as these file systems make it, costs the old name nothing.
    if (!windows_tool && have("strace")) {
      const tool_prefix strace({"strace", "-f", "-o", "/dev/null", "-e",
                                "inject=rename,renameat2:signal=SIGKILL:when=1"});
      EXPECT_NE(run({split.string()}).status, 0);
    }
    EXPECT_EQ(read_file(split / expected_rows[4][0]), "an older program");
    // The rerun keeps every copy, though the file system holds neither the
    // target's time to the nanosecond nor its permission bits.
    for (const fs::path& tree : {dir / "whole", split}) {
      std::vector<ino_t> files;
      for (int pass = 0; pass < 2; ++pass) {
        SCOPED_TRACE(tree.filename().string() + " pass " + std::to_string(pass));
        // Wine cannot set a copy's time on fusefat, where Windows' own FAT
        // keeps the time it is given: the targets take their copies' times,
        // as they would have had there, or the rerun would keep only copies
        // made within FAT's 2 seconds of their targets. Both times are set:
        // fusefat ignores a change of the modification time alone.
        if (pass == 1 && windows_tool && std::strcmp(system.name, "fat") == 0) {
          for (const auto& row : expected_rows) {
            struct stat copy {};
            if (fs::equivalent(tree / row[0], tree / row[1])) continue;
            ASSERT_EQ(stat((tree / row[0]).c_str(), &copy), 0);
            const timespec times[2] = {copy.st_atim, copy.st_mtim};
            ASSERT_EQ(utimensat(AT_FDCWD, (tree / row[1]).c_str(), times, 0), 0);
          }
        }
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

}  // namespace
}  // namespace end_to_end
