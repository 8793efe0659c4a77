// link-installer ROOT [-v]: gives the programs of a toolchain tree their second names.
#include <cstdio>

#include "driver.h"
#include "link_table.h"
#include "platform.h"

int main(int argc, char* argv[]) {
  return run_installer(argc, argv, link_table, native_platform(), stdout, stderr);
}
