// Scoped temporary trees, captured streams and a fake-free way to read them back.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include "link_table.h"
#include "platform.h"

namespace fs = std::filesystem;

inline void write_file(const fs::path& path, const std::string& content) {
  if (path.has_parent_path()) fs::create_directories(path.parent_path());
  std::ofstream file(path, std::ios::binary);
  file << content;
}

inline std::string read_file(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// How many names the file has. The Windows runtime's stat always answers 1, so
// ask the file system itself there.
inline std::uintmax_t link_count(const fs::path& path) {
#ifdef _WIN32
  const HANDLE file = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  BY_HANDLE_FILE_INFORMATION information{};
  if (file == INVALID_HANDLE_VALUE) return 0;
  GetFileInformationByHandle(file, &information);
  CloseHandle(file);
  return information.nNumberOfLinks;
#else
  return fs::hard_link_count(path);
#endif
}

// A fresh directory, removed with everything in it when the test ends.
class scoped_directory {
 public:
  explicit scoped_directory(const fs::path& parent = fs::temp_directory_path()) {
    static unsigned counter = 0;
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    path_ =
        parent / ("link-installer-test-" + std::to_string(stamp) + "-" + std::to_string(++counter));
    fs::create_directories(path_);
  }
  ~scoped_directory() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  scoped_directory(const scoped_directory&) = delete;
  scoped_directory& operator=(const scoped_directory&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// Puts the working directory back, since the driver changes it.
class working_directory_guard {
 public:
  working_directory_guard() : saved_(fs::current_path()) {}
  ~working_directory_guard() { fs::current_path(saved_); }
  working_directory_guard(const working_directory_guard&) = delete;
  working_directory_guard& operator=(const working_directory_guard&) = delete;

 private:
  fs::path saved_;
};

// A stream backed by a file, so tests read back exactly the bytes written to it.
class captured_stream {
 public:
  explicit captured_stream(const fs::path& path)
      : path_(path), file_(std::fopen(path.string().c_str(), "w+b")) {}
  ~captured_stream() {
    if (file_ != nullptr) std::fclose(file_);
  }
  captured_stream(const captured_stream&) = delete;
  captured_stream& operator=(const captured_stream&) = delete;
  std::FILE* get() const { return file_; }
  std::string text() const {
    std::fflush(file_);
    return read_file(path_);
  }

 private:
  fs::path path_;
  std::FILE* file_;
};

// The content each target of a generated tree holds: its own path, so that a
// link to the wrong target shows.
inline std::string program_content(const char* target) {
  return std::string("program ") + target + "\n";
}

// Lays out every target of table under root, and the directories of the names to make.
inline void make_tree(const fs::path& root, std::span<const link_entry> table) {
  for (const link_entry& row : table) {
    write_file(root / row.target, program_content(row.target));
    fs::create_directories((root / row.link_name).parent_path());
  }
}

// Moves root/bin to dir/bin and leaves a symbolic link in its place, so the
// names in bin live on dir's file system. Where the platform cannot make the
// link, bin is put back and the answer is false.
inline bool move_bin_to(const fs::path& root, const fs::path& dir) {
  fs::copy(root / "bin", dir / "bin", fs::copy_options::recursive);
  fs::remove_all(root / "bin");
  std::error_code refused;
  fs::create_directory_symlink(dir / "bin", root / "bin", refused);
  if (refused) fs::copy(dir / "bin", root / "bin", fs::copy_options::recursive);
  return !refused;
}

// The temporary files of copies found anywhere below dir: there must be none.
inline std::vector<std::string> leftovers(const fs::path& dir) {
  std::vector<std::string> found;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (name.find(".link-installer-") != std::string::npos) found.push_back(name);
  }
  return found;
}

// "Error(code): text" as the tool writes it for code on this platform.
inline std::string error_report(platform::error_code code) {
  return "Error(" + std::to_string(static_cast<int>(code)) +
         "): " + native_platform().error_text(code);
}

// A directory on another file system than the temporary directory, named by
// the test environment; empty when there is none.
inline fs::path other_device_directory() {
  const char* dir = std::getenv("LINK_INSTALLER_OTHER_DEVICE");
  return dir != nullptr && fs::is_directory(dir) ? fs::path(dir) : fs::path();
}
