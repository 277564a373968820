// The shared directory iterator: copies advance together.
#include <gtest/gtest.h>

#include <set>

#include "mdrt/directory_iterator.h"
#include "tests/fakes/temp_dir.h"

typedef Directory_Iterator_T<char> Iterator;

// Opening, the end of an empty directory and ENOENT are seen through fs.list;
// copying is what the listing's generator does.
TEST(DirectoryIterator, CopiesAdvanceTogether) {
  Temp_Dir dir;
  dir.write("one", "");
  dir.write("two", "");
  Iterator a(dir.path().c_str(), true, Directory_Reader::WITH_STAT);
  Iterator b = a;
  std::set<std::string> seen{a->name};
  ++b;
  EXPECT_TRUE(a == b);
  seen.insert(a->name);
  ++a;
  EXPECT_TRUE(b == Iterator());
  EXPECT_EQ((std::set<std::string>{"one", "two"}), seen);
}
