// Reading a long directory with its entries read ahead: every entry comes
// once and in the directory's order, also when the caller stops taking them
// for a while (the helpers leave meanwhile and others take over), and
// closing ends the helpers whether they are at work or gone. Taken up again
// after an entry, or parked between pages.
#include <gtest/gtest.h>

#include <dirent.h>

#include <cerrno>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "agent/platform/directory_reader.h"
#include "agent/platform/helper_threads.h"
#include "agent/platform/reader_parking.h"
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

// What the next page of a listing does when its reader was not kept: open
// again and go on after the last entry handed out. The entries come in the
// directory's order, read ahead at once; a position that does not hold the
// entry named is refused.
TEST(Directory_Reader, ResumesAfterAnEntry) {
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
    std::vector<std::string> names, expected;
    for (Directory_Entry_T<char> e; reader.read(e);) names.push_back(e.name);
    EXPECT_EQ(0, reader.error());
    for (std::size_t i = at + 1; i < all.size(); ++i) expected.push_back(all[i].name);
    EXPECT_EQ(expected, names);
  }
  Directory_Reader reader;
  ASSERT_TRUE(reader.open(dir.path().c_str(), true, flags));
  EXPECT_FALSE(reader.resume(
      all[10].position, [&](const std::string& name) { return name == all[500].name; }, 3));
  EXPECT_EQ(ESTALE, errno);
}

namespace {

// The process's open descriptors; -1 where the system does not list them
// (under wine the directory lists wine's own descriptors too).
long open_descriptors() {
  long n = -1;
#ifndef _WIN32
  if (DIR* d = ::opendir("/proc/self/fd")) {
    n = 0;
    while (dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
    ::closedir(d);
  }
#endif
  return n;
}

}  // namespace

// A reader parked between the pages of a listing is taken back by its key
// alone and goes on where it stopped; the oldest make room for new ones,
// and one left waiting is closed after the linger, its directory with it.
TEST(Reader_Parking, TakenByItsKeyItGoesOnAndOneLeftWaitingIsClosed) {
  Temp_Dir dir;
  const int count = 1000;
  for (int i = 0; i < count; ++i) dir.write("entry-" + std::to_string(i), "x");
  const unsigned flags = Directory_Reader::WITH_STAT | Directory_Reader::READ_AHEAD;
  // Counted once the first open has made what stays for the process (the
  // mount table's watch).
  {
    Directory_Reader first;
    ASSERT_TRUE(first.open(dir.path().c_str(), true, flags));
  }
  const long descriptors = open_descriptors();

  platform::Parked_Reader page;
  page.reader.reset(new Directory_Reader);
  ASSERT_TRUE(page.reader->open(dir.path().c_str(), true, flags));
  std::set<std::string> names;
  for (int i = 0; i < 300; ++i) {
    ASSERT_TRUE(page.reader->read(page.next));
    names.insert(page.next.name);
  }
  ASSERT_TRUE(page.reader->read(page.next));  // the next page's first
  page.has_next = true;
  const std::string first = page.next.name;
  platform::park_reader("cursor-1", std::move(page));
  EXPECT_EQ(1u, platform::parked_readers());
  EXPECT_EQ(nullptr, platform::take_parked_reader("cursor-2").reader);

  platform::Parked_Reader taken = platform::take_parked_reader("cursor-1");
  ASSERT_NE(nullptr, taken.reader);
  EXPECT_EQ(nullptr, platform::take_parked_reader("cursor-1").reader) << "taken twice";
  ASSERT_TRUE(taken.has_next);
  EXPECT_EQ(first, taken.next.name);
  names.insert(taken.next.name);
  Directory_Entry_T<char> entry;
  while (taken.reader->read(entry)) EXPECT_TRUE(names.insert(entry.name).second) << entry.name;
  EXPECT_EQ(static_cast<std::size_t>(count), names.size());
  taken.reader.reset();

  // One more than there is room for: the first parked is closed at once.
  for (std::size_t i = 0; i <= platform::reader_park_capacity; ++i) {
    platform::Parked_Reader p;
    p.reader.reset(new Directory_Reader);
    ASSERT_TRUE(p.reader->open(dir.path().c_str(), true, flags));
    for (int n = 0; n < 200; ++n) ASSERT_TRUE(p.reader->read(entry));
    platform::park_reader("full-" + std::to_string(i), std::move(p));
  }
  EXPECT_EQ(platform::reader_park_capacity, platform::parked_readers());
  EXPECT_EQ(nullptr, platform::take_parked_reader("full-0").reader);
  if (descriptors >= 0) {
    EXPECT_EQ(descriptors + long(platform::reader_park_capacity), open_descriptors());
  }

  // Left waiting: closed after the linger, every directory with it.
  std::this_thread::sleep_for(platform::reader_park_linger + std::chrono::milliseconds(500));
  EXPECT_EQ(0u, platform::parked_readers());
  EXPECT_EQ(nullptr, platform::take_parked_reader("full-1").reader);
  if (descriptors >= 0) {
    EXPECT_EQ(descriptors, open_descriptors());
  }
  EXPECT_TRUE(helpers_at_rest());
}
