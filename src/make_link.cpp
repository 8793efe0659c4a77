#include "make_link.h"

#include <string>

#include "message.h"

namespace {

// Reports the failure just met, and that the name could not be made.
bool fail(const char* target, const char* link_name, platform& system, std::FILE* err) {
  report_last_error(system, err);
  say(err, {"creating link ", link_name, " to ", target, " failed\n"});
  return false;
}

// Where hard links are refused, an old name may be the very copy a run
// would make now: then it is kept, and nothing is written. Else the new copy
// takes its place only once complete, so a failed copy costs nothing.
bool copy_over_old_name(const char* target, const char* link_name, bool verbose,
                        platform& system, std::FILE* out, std::FILE* err) {
  if (verbose) report_last_error(system, err);
  if (!system.same_copy(target, link_name) && !system.copy_file(target, link_name, true)) {
    return fail(target, link_name, system, err);
  }
  if (verbose) say(out, {"processed copy\n"});
  return true;
}

}  // namespace

bool make_link(const char* target, const char* link_name, bool verbose, platform& system,
               std::FILE* out, std::FILE* err) {
  // A run with more rights than the tree's owner follows nothing that
  // another user could have planted on the way, and so touches nothing.
  if (!system.safe_paths(link_name, target)) return fail(target, link_name, system, err);
  // A name that already is the target's file is done. Deleting it could
  // take the program itself, when the target leads back to its own name.
  if (system.same_file(link_name, target)) {
    if (verbose) say(out, {"processed hardlink\n"});
    return true;
  }
  // An old name is replaced by a hard link in one step, so it is never
  // absent. Where the link cannot take the name, the way of a new name follows.
  const platform::replaced replacement = system.replace_by_hard_link(link_name, target);
  if (replacement == platform::replaced::refused) {
    return copy_over_old_name(target, link_name, verbose, system, out, err);
  }
  if (replacement == platform::replaced::done) {
    if (verbose) say(out, {"processed hardlink\n"});
    return true;
  }
  // Only clear the old name when there is a program to put in its place: with
  // the target gone, link_name may hold the last copy of that program, and a
  // FIFO or device is refused below anyway. A name that stays (read-only, in
  // use) would fail the link and the copy too: its own reason is the one told.
  if (system.regular_file(target) && !system.delete_file(link_name)) {
    return fail(target, link_name, system, err);
  }

  if (system.create_hard_link(link_name, target)) {
    if (verbose) say(out, {"processed hardlink\n"});
    return true;
  }
  if (verbose) report_last_error(system, err);

  if (system.copy_file(target, link_name, false)) {
    if (verbose) say(out, {"processed copy\n"});
    return true;
  }
  return fail(target, link_name, system, err);
}

void report_last_error(platform& system, std::FILE* err) {
  const platform::error_code code = system.last_error();
  const std::string text = system.error_text(code);
  say(err, {"Error(", decimal(static_cast<int>(code)), "): ", text});
}
