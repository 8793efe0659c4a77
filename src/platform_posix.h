// The POSIX platform, open to tests that need to fail a copy midway.
#pragma once

#include "platform.h"

class posix_platform : public platform {
 public:
  bool change_directory(const char* path) override;
  bool file_present(const char* path) override;
  void delete_file(const char* path) override;
  bool create_hard_link(const char* link_name, const char* target) override;
  bool copy_file(const char* target, const char* link_name) override;
  error_code last_error() override;
  std::string error_text(error_code code) override;

 protected:
  // Moves every byte of the open file from into the new file to, in the
  // kernel where it can; false with errno set on failure.
  virtual bool copy_contents(int from, int to);
};
