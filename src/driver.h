// The command line and the walk over a link table.
#pragma once

#include <cstdio>
#include <span>

#include "link_table.h"
#include "platform.h"

// Handles every row of table in order, stopping at the first failure.
// Answers whether all rows were handled.
bool walk_table(std::span<const link_entry> table, bool verbose, platform& system, std::FILE* out,
                std::FILE* err);

// The whole run for a command line "ROOT [-v]": answers the exit status, 0 or 1.
int run_installer(int argc, const char* const argv[], std::span<const link_entry> table,
                  platform& system, std::FILE* out, std::FILE* err);
