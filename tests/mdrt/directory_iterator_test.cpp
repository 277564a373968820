// The shared directory iterator: end states and shared advancing.
#include <gtest/gtest.h>

#include <cerrno>
#include <set>

#include "mdrt/directory_iterator.h"
#include "tests/fakes/temp_dir.h"

typedef Directory_Iterator_T<char> Iterator;

TEST(DirectoryIterator, NoPathOrAnUnopenablePathIsTheEnd) {
  EXPECT_FALSE(Iterator(nullptr, true, 0).has_handle());
  EXPECT_TRUE(Iterator("", true, 0) == Iterator());
  errno = 0;
  Iterator missing("/no/such/dir", true, 0);
  EXPECT_EQ(ENOENT, errno);
  EXPECT_FALSE(missing.has_handle());
  EXPECT_TRUE(missing == Iterator());
}

TEST(DirectoryIterator, EmptyDirectoryIsOpenAndAtItsEnd) {
  Temp_Dir dir;
  Iterator it(dir.path().c_str(), true, 0);
  EXPECT_TRUE(it.has_handle());
  EXPECT_TRUE(it == Iterator());
  EXPECT_TRUE(Iterator() == it);
  Iterator with_dots(dir.path().c_str(), false, 0);
  EXPECT_FALSE(with_dots == Iterator());  // "." and ".." are entries then
}

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
