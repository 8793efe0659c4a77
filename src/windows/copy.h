// The Windows copy that stands in for a refused hard link.
#pragma once

// Copies target to link_name, failing if link_name exists. The copy gets its
// name only once it is complete and flushed, and a failed or killed copy
// leaves nothing behind. False with the last error set on failure.
bool copy_to_new_name(const char* target, const char* link_name);
