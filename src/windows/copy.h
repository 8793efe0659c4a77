// The Windows copy that stands in for a refused hard link, and the old copy
// that is kept where it already is what the copy would be.
#pragma once

#include <windows.h>

#include "platform.h"

// Copies target to link_name, failing if link_name exists, unless
// over_old_name: then a file there is replaced by the complete copy in one
// rename. The copy gets its name only once it is complete and flushed, and a
// failed or killed copy leaves nothing behind and an old name as it was.
// False with the last error set on failure.
bool copy_to_new_name(const char* target, const char* link_name, bool over_old_name);

// Removes what dead runs left beside link_name. pattern holds link_name and
// the temporary infix, up to end; what follows end is overwritten.
void remove_leftovers(const char* link_name, char* pattern, char* end);

// Makes link_name a hard link to target by one move of a hard link made
// under a temporary name beside it; see platform::replace_by_hard_link.
platform::replaced replace_by_hard_link_beside(const char* link_name, const char* target);

// Whether link_name is itself a file on a disk that is exactly what
// copy_to_new_name would make of target: the same bytes, last-write time,
// and read-only, hidden and system attributes.
bool same_copy_of(const char* target, const char* link_name);
