// On a file system that shares extents, the copy fallback must clone the
// target rather than move its bytes. btrfs refuses hard links between
// subvolumes but clones across them, so "bin" in a subvolume of its own
// forces the copy and allows the clone.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "make_link.h"
#include "test_support.h"

namespace {

struct extent {
  std::uint64_t physical;
  std::uint32_t flags;
};

std::vector<extent> extents_of(const fs::path& path) {
  constexpr unsigned most = 64;
  std::vector<char> buffer(sizeof(fiemap) + most * sizeof(fiemap_extent));
  auto* map = reinterpret_cast<fiemap*>(buffer.data());
  map->fm_length = FIEMAP_MAX_OFFSET;
  map->fm_flags = FIEMAP_FLAG_SYNC;
  map->fm_extent_count = most;
  const int fd = open(path.c_str(), O_RDONLY);
  const bool mapped = fd >= 0 && ioctl(fd, FS_IOC_FIEMAP, map) == 0;
  if (fd >= 0) close(fd);
  std::vector<extent> result;
  for (unsigned i = 0; mapped && i < map->fm_mapped_extents; ++i) {
    result.push_back({map->fm_extents[i].fe_physical, map->fm_extents[i].fe_flags});
  }
  return result;
}

bool quietly(const std::string& command) {
  return std::system(("(" + command + ") >/dev/null 2>&1").c_str()) == 0;
}

class ExtentSharing : public ::testing::Test {
 protected:
  scoped_directory scratch;
  working_directory_guard cwd;
  fs::path mount_point = scratch.path() / "mnt";
  bool mounted = false;

  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a btrfs image needs root";
    if (!quietly("command -v mkfs.btrfs && command -v btrfs")) {
      GTEST_SKIP() << "btrfs-progs is not installed";
    }
    const fs::path image = scratch.path() / "btrfs.img";
    fs::create_directories(mount_point);
    fs::resize_file(write_empty(image), 256 << 20);
    if (!quietly("mkfs.btrfs -q " + image.string())) GTEST_SKIP() << "mkfs.btrfs failed";
    if (!quietly("mount -o loop " + image.string() + " " + mount_point.string())) {
      GTEST_SKIP() << "this machine does not allow loop mounts";
    }
    mounted = true;
    ASSERT_TRUE(quietly("btrfs subvolume create " + (mount_point / "bin").string()));
    fs::current_path(mount_point);
  }

  void TearDown() override {
    fs::current_path(scratch.path());
    if (mounted)
      quietly("umount " + mount_point.string() + " || umount -l " + mount_point.string());
  }

  static fs::path write_empty(const fs::path& path) {
    write_file(path, "");
    return path;
  }
};

TEST_F(ExtentSharing, CopyBetweenSubvolumesSharesTheTargetsExtents) {
  scoped_directory streams;
  captured_stream out(streams.path() / "out");
  captured_stream err(streams.path() / "err");
  std::string program(8 << 20, '\0');
  for (size_t i = 0; i < program.size(); ++i) program[i] = static_cast<char>(i * 131 % 251);
  write_file("as.exe", program);

  ASSERT_TRUE(make_link("as.exe", "bin/arm-uclinuxeabi-as.exe", true, native_platform(), out.get(),
                        err.get()));
  EXPECT_EQ(out.text(), "processed copy\n");
  EXPECT_EQ(err.text(), error_report(EXDEV));  // the refused hard link
  EXPECT_EQ(read_file("bin/arm-uclinuxeabi-as.exe"), program);

  const std::vector<extent> original = extents_of("as.exe");
  const std::vector<extent> copy = extents_of("bin/arm-uclinuxeabi-as.exe");
  ASSERT_FALSE(copy.empty());
  ASSERT_EQ(copy.size(), original.size());
  for (size_t i = 0; i < copy.size(); ++i) {
    EXPECT_EQ(copy[i].physical, original[i].physical) << "extent " << i;
    EXPECT_NE(copy[i].flags & FIEMAP_EXTENT_SHARED, 0u) << "extent " << i;
  }
}

}  // namespace
