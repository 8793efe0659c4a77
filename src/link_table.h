// The second names this tool makes in an arm-uclinuxeabi toolchain tree.
#pragma once

#include <cstdint>

// What the driver does with a row. The rows are plain data, a 32-bit integer
// code and two paths, as the table's format defines them; the driver refuses
// a code it does not know.
namespace link_type {
inline constexpr std::int32_t link = 0;      // hard link, or a copy where that is refused
inline constexpr std::int32_t symlink = 1;   // refused: the tool makes no symbolic links
inline constexpr std::int32_t condlink = 2;  // as link, but only when the target is present
inline constexpr std::int32_t skip = 3;      // passed over without output
}  // namespace link_type

struct link_entry {
  std::int32_t type;
  const char* target;     // the existing file, relative to the tree root
  const char* link_name;  // the second name to make, relative to the tree root
};

inline constexpr link_entry link_table[] = {
    {link_type::link, "arm-uclinuxeabi/libc/thumb2/usr/lib/bin/gdbserver",
     "arm-uclinuxeabi/libc/thumb2/usr/bin/gdbserver"},
    {link_type::link, "arm-uclinuxeabi/libc/usr/lib/bin/gdbserver",
     "arm-uclinuxeabi/libc/usr/bin/gdbserver"},
    {link_type::link, "arm-uclinuxeabi/libc/armv6-m/usr/lib/bin/gdbserver",
     "arm-uclinuxeabi/libc/armv6-m/usr/bin/gdbserver"},
    {link_type::link, "arm-uclinuxeabi/bin/c++.exe", "arm-uclinuxeabi/bin/g++.exe"},
    {link_type::link, "arm-uclinuxeabi/bin/ar.exe", "bin/arm-uclinuxeabi-ar.exe"},
    {link_type::link, "arm-uclinuxeabi/bin/objdump.exe", "bin/arm-uclinuxeabi-objdump.exe"},
    {link_type::link, "arm-uclinuxeabi/bin/ld.real.exe", "bin/arm-uclinuxeabi-ld.real.exe"},
    {link_type::link, "arm-uclinuxeabi/bin/strip.exe", "bin/arm-uclinuxeabi-strip.exe"},
    {link_type::link, "arm-uclinuxeabi/bin/objcopy.exe", "bin/arm-uclinuxeabi-objcopy.exe"},
    {link_type::link, "arm-uclinuxeabi/bin/ranlib.exe", "bin/arm-uclinuxeabi-ranlib.exe"},
    {link_type::link, "bin/arm-uclinuxeabi-c++.exe", "bin/arm-uclinuxeabi-g++.exe"},
    {link_type::link, "arm-uclinuxeabi/bin/nm.exe", "bin/arm-uclinuxeabi-nm.exe"},
    {link_type::link, "arm-uclinuxeabi/bin/as.exe", "bin/arm-uclinuxeabi-as.exe"},
    {link_type::link, "bin/arm-uclinuxeabi-gcc-4.4.1.exe", "bin/arm-uclinuxeabi-gcc.exe"},
};

static_assert(sizeof(link_table) / sizeof(link_table[0]) == 14, "the tree needs exactly 14 names");
