// Reading a long directory with its entries read ahead: every entry comes
// once, also when the caller stops taking them for a while (the helper
// thread leaves meanwhile and another takes over), and closing ends the
// helper whether it is at work or gone.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include "agent/platform/directory_reader.h"
#include "tests/fakes/temp_dir.h"

namespace {

long threads_of_this_process() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.compare(0, 8, "Threads:") == 0) return std::stol(line.substr(8));
  return -1;
}

// Waits up to 10 s for the thread count to come down to `count`.
bool threads_down_to(long count) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (threads_of_this_process() > count && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return threads_of_this_process() <= count;
}

}  // namespace

TEST(Directory_Reader, AReaderThatPausesHoldsNoHelperAndGoesOnWhereItStopped) {
  Temp_Dir dir;
  const int count = 3000;
  for (int i = 0; i < count; ++i) dir.write("entry-" + std::to_string(i), "x");
  // A first thread makes whatever helper the runtime keeps (a sanitizer's).
  std::thread([] {}).join();
  const long before = threads_of_this_process();
  const unsigned flags = Directory_Reader::WITH_STAT | Directory_Reader::READ_AHEAD;

  Directory_Reader reader;
  ASSERT_TRUE(reader.open(dir.path().c_str(), true, flags));
  std::set<std::string> names;
  Directory_Entry_T<char> entry;
  for (int pause = 0; pause < 3; ++pause) {
    // Past the first 512 a helper reads ahead; then the caller stops, as a
    // listing for a requester that does not read does, and the helper
    // leaves once every batch is full.
    for (int i = 0; i < 700 && reader.read(entry); ++i) {
      EXPECT_TRUE(names.insert(entry.name).second) << entry.name;
      EXPECT_TRUE(entry.has_stat);
    }
    EXPECT_TRUE(threads_down_to(before)) << threads_of_this_process() << " threads";
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
    EXPECT_TRUE(threads_down_to(before));
  }
}
