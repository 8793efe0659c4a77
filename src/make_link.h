// Giving an existing file a second name: a hard link, or a copy where the file
// system refuses one.
#pragma once

#include <cstdio>

#include "platform.h"

// Makes link_name name the file target, replacing what link_name held before.
// Writes the trace to out when verbose and failures to err; answers success.
bool make_link(const char* target, const char* link_name, bool verbose,
               platform& system = native_platform(), std::FILE* out = stdout,
               std::FILE* err = stderr);

// Writes "Error(code): text" for the most recent failed platform call to err.
// Call it right after the failure, before anything can replace the error.
void report_last_error(platform& system = native_platform(), std::FILE* err = stderr);
