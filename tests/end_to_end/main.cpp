// The suite's entry: the tool's command, and whether it is the Windows one.
#include "end_to_end/harness.h"

using end_to_end::tool_command;
using end_to_end::windows_tool;

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  int first = 1;
  if (argc > 1 && std::strcmp(argv[1], "--windows") == 0) {
    windows_tool = true;
    first = 2;
  }
  if (first >= argc) {
    std::fprintf(stderr, "usage: end_to_end_test [--windows] TOOL-COMMAND...\n");
    return 2;
  }
  // The tool runs in its own working directory, so a relative path must not reach it.
  for (int i = first; i < argc; ++i) {
    tool_command.push_back(fs::exists(argv[i]) ? fs::absolute(argv[i]).string() : argv[i]);
  }
  return RUN_ALL_TESTS();
}
