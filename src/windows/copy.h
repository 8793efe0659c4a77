// The Windows copy that stands in for a refused hard link, and the old copy
// that is kept where it already is what the copy would be.
#pragma once

// Copies target to link_name, failing if link_name exists. The copy gets its
// name only once it is complete and flushed, and a failed or killed copy
// leaves nothing behind. False with the last error set on failure.
bool copy_to_new_name(const char* target, const char* link_name);

// Whether a hard link to target could be made beside link_name, asked under a
// temporary name there that is removed again. False with the refusal's error.
bool hard_link_allowed(const char* link_name, const char* target);

// Whether link_name is itself a file on a disk that is exactly what
// copy_to_new_name would make of target: the same bytes, last-write time,
// and read-only, hidden and system attributes.
bool same_copy_of(const char* target, const char* link_name);
