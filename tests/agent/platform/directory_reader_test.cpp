// Reading a long directory with its entries read ahead: every entry comes
// once and in the directory's order, also when the caller stops taking them
// for a while (the helpers leave meanwhile and others take over), and
// closing ends the helpers whether they are at work or gone. Taken up again
// after an entry, and stopped after a number of names.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "agent/platform/directory_reader.h"
#include "agent/platform/helper_threads.h"
#include "tests/fakes/temp_dir.h"

namespace {

unsigned busy_helpers() {
  const platform::Helper_Counts c = platform::helper_counts();
  return c.alive - c.idle;
}

// Waits up to 10 s for every helper thread to be idle or gone.
bool helpers_at_rest() {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (busy_helpers() > 0 && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return busy_helpers() == 0;
}

std::vector<std::string> read_all(const std::string& path, unsigned flags) {
  std::vector<std::string> names;
  Directory_Reader reader;
  if (!reader.open(path.c_str(), true, flags)) return names;
  Directory_Entry_T<char> entry;
  while (reader.read(entry))
    names.push_back(entry.name + " " + std::to_string(entry.size));
  EXPECT_EQ(0, reader.error());
  return names;
}

}  // namespace

TEST(Directory_Reader, AReaderThatPausesHoldsNoHelperAndGoesOnWhereItStopped) {
  Temp_Dir dir;
  const int count = 3000;
  for (int i = 0; i < count; ++i) dir.write("entry-" + std::to_string(i), "x");
  const unsigned flags = Directory_Reader::WITH_STAT | Directory_Reader::READ_AHEAD;

  Directory_Reader reader;
  ASSERT_TRUE(reader.open(dir.path().c_str(), true, flags));
  std::set<std::string> names;
  Directory_Entry_T<char> entry;
  for (int pause = 0; pause < 3; ++pause) {
    // Past the first entries helpers read ahead; then the caller stops, as
    // a listing for a requester that does not read does, and the helpers
    // leave once every batch is full.
    for (int i = 0; i < 700 && reader.read(entry); ++i) {
      EXPECT_TRUE(names.insert(entry.name).second) << entry.name;
      EXPECT_TRUE(entry.has_stat);
    }
    EXPECT_TRUE(helpers_at_rest()) << busy_helpers() << " helpers at work";
  }
  while (reader.read(entry)) EXPECT_TRUE(names.insert(entry.name).second) << entry.name;
  EXPECT_EQ(0, reader.error());
  EXPECT_EQ(static_cast<std::size_t>(count), names.size());
  EXPECT_EQ(1u, names.count("entry-2999"));

  // Closed while the helper is at work, and while it is gone.
  for (int wait_ms : {0, 200}) {
    ASSERT_TRUE(reader.open(dir.path().c_str(), true, flags));
    for (int i = 0; i < 600; ++i) ASSERT_TRUE(reader.read(entry));
    std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
    reader.close();
    EXPECT_TRUE(helpers_at_rest());
  }

  // Helpers stat batches side by side; the caller still gets the
  // directory's own order, each entry with its details.
  for (int i = 0; i < count; i += 7) dir.write("entry-" + std::to_string(i), std::string(i, 'y'));
  const std::vector<std::string> plain = read_all(dir.path(), Directory_Reader::WITH_STAT);
  EXPECT_EQ(static_cast<std::size_t>(count), plain.size());
  EXPECT_EQ(plain, read_all(dir.path(), flags));
}

// What the next pages of a listing do: open again, go on after the last
// entry handed out, read no more than a page. The entries come in the
// directory's order, read ahead at once; a position that does not hold the
// entry named is refused.
TEST(Directory_Reader, ResumesAfterAnEntryAndReadsNoMoreThanItsLimit) {
  Temp_Dir dir;
  for (int i = 0; i < 1000; ++i) dir.write("entry-" + std::to_string(i), "");
  const unsigned flags = Directory_Reader::WITH_STAT | Directory_Reader::READ_AHEAD;
  std::vector<Directory_Entry_T<char>> all;
  {
    Directory_Reader reader;
    ASSERT_TRUE(reader.open(dir.path().c_str(), true, flags));
    for (Directory_Entry_T<char> e; reader.read(e);) all.push_back(e);
    ASSERT_EQ(1000u, all.size());
  }
  for (std::size_t at : {0, 127, 500, 999}) {
    SCOPED_TRACE(at);
    Directory_Reader reader;
    ASSERT_TRUE(reader.open(dir.path().c_str(), true, flags));
    ASSERT_TRUE(reader.resume(
        all[at].position, [&](const std::string& name) { return name == all[at].name; }, 0));
    reader.limit_reads(300);
    std::vector<std::string> names, expected;
    for (Directory_Entry_T<char> e; reader.read(e);) names.push_back(e.name);
    EXPECT_EQ(0, reader.error());
    for (std::size_t i = at + 1; i < all.size() && i <= at + 300; ++i)
      expected.push_back(all[i].name);
    EXPECT_EQ(expected, names);
  }
  Directory_Reader reader;
  ASSERT_TRUE(reader.open(dir.path().c_str(), true, flags));
  EXPECT_FALSE(reader.resume(
      all[10].position, [&](const std::string& name) { return name == all[500].name; }, 3));
  EXPECT_EQ(ESTALE, errno);
}
