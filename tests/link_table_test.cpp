#include "link_table.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

TEST(LinkTable, RowsAreLinksWithDistinctNamesThatNoRowUsesAsTarget) {
  std::set<std::string> names;
  for (const link_entry& row : link_table) {
    EXPECT_EQ(row.type, link_type::link) << row.link_name;
    EXPECT_TRUE(names.insert(row.link_name).second) << row.link_name << " occurs twice";
    EXPECT_NE(row.link_name[0], '/');
    EXPECT_EQ(std::string(row.link_name).find('\\'), std::string::npos);
  }
  for (const link_entry& row : link_table) EXPECT_EQ(names.count(row.target), 0u) << row.target;
}

}  // namespace
