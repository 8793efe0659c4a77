#include "driver.h"

#include <cstdio>
#include <cstring>

#include "make_link.h"
#include "message.h"

namespace {

const char* const usage =
    "usage: link-installer ROOT [-v]\n"
    "Gives the programs of an arm-uclinuxeabi toolchain tree their second names:\n"
    "a hard link each, or a copy where the file system refuses the link.\n"
    "\n"
    "  ROOT  the toolchain tree's root directory\n"
    "  -v    trace each name on standard output\n"
    "\n"
    "Exit status: 0 when every name was made, 1 when one could not be.\n";

// The trace's line for a row: its kind, its second name and its target.
void trace_row(const char* kind, const link_entry& row, std::FILE* out) {
  say(out, {kind, " \"", row.link_name, "\" -> \"", row.target, "\"\n"});
}

// Handles one row by its type; answers false when the walk must stop.
// Inline, so that a quiet run pays no call for each row.
inline bool handle_row(const link_entry& row, bool verbose, platform& system, std::FILE* out,
                       std::FILE* err) {
  switch (row.type) {
    case link_type::link:
      if (verbose) trace_row("link", row, out);
      return make_link(row.target, row.link_name, verbose, system, out, err);
    case link_type::symlink:
      if (verbose) trace_row("symlink", row, out);
      say(err, {"symbolic links not supported on Windows: \"", row.link_name, "\" -> \"",
                row.target, "\""});
      return false;
    case link_type::condlink:
      if (verbose) trace_row("condlink", row, out);
      if (!system.file_present(row.target)) {
        if (verbose) say(out, {"skip condlink\n"});
        return true;
      }
      if (verbose) {
        say(out, {"process condlink\n"});
        trace_row("link", row, out);
      }
      return make_link(row.target, row.link_name, verbose, system, out, err);
    case link_type::skip:
      return true;
    default:
      say(err, {"unsupported type: ", decimal(static_cast<int>(row.type)), "\n"});
      return false;
  }
}

}  // namespace

bool walk_table(std::span<const link_entry> table, bool verbose, platform& system, std::FILE* out,
                std::FILE* err) {
  // A plain loop, so that the stop at the first failed row is plain to see.
  for (const link_entry& row : table) {
    // cppcheck-suppress useStlAlgorithm
    if (!handle_row(row, verbose, system, out, err)) return false;
  }
  return true;
}

namespace {

// Every step of the run, up to the last row: answers the exit status.
int run_steps(int argc, const char* const argv[], std::span<const link_entry> table,
              platform& system, std::FILE* out, std::FILE* err) {
  if (argc < 2) {
    say(err, {"missing arguments\n"});
    return 1;
  }
  if (asks_for_help(argv[1])) {
    say(out, {usage});
    return 0;
  }
  if (std::strcmp(argv[1], "--version") == 0) {
    say(out, {"link-installer " LINK_INSTALLER_VERSION "\n"});
    return 0;
  }
  if (!system.change_directory(argv[1])) {
    say(err, {"unable to _chdir to \"", argv[1], "\"\n"});
    return 1;
  }
  switch (system.become_tree_owner()) {
    case platform::owner_change::done:
      break;
    case platform::owner_change::refused:
      say(err, {"unable to act as the owner of \"", argv[1], "\"\n"});
      return 1;
    case platform::owner_change::open_to_others:
      say(err, {"unable to run as root on \"", argv[1],
                "\", which other users can write: run as the tree's owner, or make it writable by "
                "root alone (for a mount, -o umask=022)\n"});
      return 1;
  }
  // Runs on one tree take turns, so that none deletes a name another has just
  // made. A run that is kept waiting says so, and does not wait for ever.
  platform::lock_result turn = system.lock_tree(1000);
  if (turn == platform::lock_result::busy) {
    say(err, {"waiting for another run on \"", argv[1], "\"\n"});
    turn = system.lock_tree(5 * 60 * 1000);
    if (turn == platform::lock_result::busy) {
      say(err, {"gave up waiting for another run on \"", argv[1], "\"\n"});
      return 1;
    }
  }
  // A lock that cannot be had (a tree root its owner cannot read, no file
  // descriptor left) would let runs collide: none goes on without it.
  if (turn == platform::lock_result::failed) {
    report_last_error(system, err);
    say(err, {"unable to lock \"", argv[1], "\" against other runs\n"});
    return 1;
  }
  // Only the first two bytes count: "-verbose" turns tracing on as well.
  const bool verbose = argc > 2 && std::strncmp(argv[2], "-v", 2) == 0;
  if (verbose) {
    // Each line of the trace goes out as it is written, so that a log that
    // takes both streams (2>&1, tee) reads in the order things happened.
    std::setvbuf(out, nullptr, _IONBF, 0);
    say(out, {"Verbose mode.\n"});
  }
  return walk_table(table, verbose, system, out, err) ? 0 : 1;
}

}  // namespace

int run_installer(int argc, const char* const argv[], std::span<const link_entry> table,
                  platform& system, std::FILE* out, std::FILE* err) {
  const int status = run_steps(argc, argv, table, system, out, err);
  // A caller who asked for a trace, the usage or the version and got none
  // has not been answered; the names already made stay.
  if (!text_delivered(out)) {
    report_last_error(system, err);
    say(err, {"writing to standard output failed\n"});
    return 1;
  }
  return status;
}
