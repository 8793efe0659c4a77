// Runs by root: on another user's tree it becomes that user; on root's own
// tree it follows only what nobody else could have planted.
#include "end_to_end/harness.h"

namespace end_to_end {
namespace {

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
    // Where the mount table cannot be read, or names no mounting user, a
    // mount counts as another user's: on the way, and as a whole tree that
    // the server claims is root's. /proc is an empty tmpfs in the run's own
    // mount namespace, or holds a table without user_id= alone.
    setenv("DIR", (base.path() / "lied").c_str(), 1);
    const scoped_mount lied(std::string(LYING_FUSE_SERVER) + " \"$DIR\" " +
                            roots.parent_path().string() + " " + std::to_string(user));
    ASSERT_TRUE(lied.mounted());
    // A sanitizer's runtime reads /proc itself, so only the static tool goes without it.
    std::vector<std::string> tables = {"hidden", "without users"};
    if (STATIC_TOOL == 0 || std::system("unshare -m true >/dev/null 2>&1") != 0) {
      std::printf("SKIPPED: runs without the mount table (needs unshare -m, and a static tool)\n");
      tables.clear();
    }
    for (const std::string& table : tables) {
      SCOPED_TRACE(table);
      const tool_prefix own_proc(
          {"unshare", "-m", "sh", "-c",
           R"(t=$(sed 's/user_id=[0-9]*//' /proc/self/mountinfo) && )"
           R"(mount -t tmpfs none /proc && { [ "$1" = hidden ] || { mkdir /proc/self && )"
           R"(printf "%s\n" "$t" >/proc/self/mountinfo; }; } && shift && exec "$@")",
           "sh", table});
      const outcome on_the_way = run({"toolchain"});
      EXPECT_EQ(on_the_way.status, 1);
      EXPECT_EQ(on_the_way.err, (table == "hidden" ? missing_file_report() : owned) +
                                    "creating link " + expected_rows[1][0] + " to " +
                                    expected_rows[1][1] + " failed\n");
      const outcome whole = run({"lied", "-v"});
      EXPECT_EQ(whole.status, 1);
      EXPECT_EQ(whole.out + whole.err, "unable to act as the owner of \"lied\"\n");
    }
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
  // Every mount is gone again, and its server with it.
  EXPECT_EQ(read_file("/proc/self/mountinfo").find(base.path().string()), std::string::npos);
}

}  // namespace
}  // namespace end_to_end
