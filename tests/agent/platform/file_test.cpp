// One open file through the platform layer: what is written comes back,
// appends from two writers both land whole at the end, reads and writes at
// offsets, sizes and cuts, and special files refused without waiting.
#include "agent/platform/file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>
#include <utility>

#include "agent/platform/files.h"
#include "tests/fakes/temp_dir.h"

namespace {

std::string read_rest(platform::File& file) {
  std::string out;
  char buffer[3];  // small, so reads come in several pieces
  long n;
  while ((n = file.read(buffer, sizeof buffer)) > 0) out.append(buffer, n);
  EXPECT_EQ(0, n);
  return out;
}

}  // namespace

TEST(File, WritesReadsAndAppends) {
  Temp_Dir dir;
  const std::string path = dir / "f";
  platform::File file;
  EXPECT_FALSE(file.open(path, platform::File::READ));
  EXPECT_EQ(ENOENT, errno);
  EXPECT_FALSE(file.is_open());

  ASSERT_TRUE(file.open(path, platform::File::READ | platform::File::WRITE |
                                  platform::File::CREATE, 0600));
  EXPECT_TRUE(file.write("hello\nworld", 11));
  EXPECT_TRUE(file.sync_data());
  EXPECT_TRUE(file.rewind());
  EXPECT_EQ("hello\nworld", read_rest(file));
#ifndef _WIN32  // the mode is a POSIX permission
  struct stat st;
  ASSERT_EQ(0, ::stat(path.c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
#endif
  platform::File moved(std::move(file));
  EXPECT_FALSE(file.is_open());
  ASSERT_TRUE(moved.is_open());

  // Two writers at once: each append goes to the end, over the other's.
  const unsigned append = platform::File::APPEND | platform::File::CREATE;
  platform::File a, b;
  ASSERT_TRUE(a.open(path, append));
  ASSERT_TRUE(b.open(path, append));
  EXPECT_TRUE(a.write("\none", 4));
  EXPECT_TRUE(b.write("\ntwo", 4));
  EXPECT_TRUE(a.write("\nthree", 6));
  std::string text;
  EXPECT_TRUE(platform::read_file(path, text));
  EXPECT_EQ("hello\nworld\none\ntwo\nthree", text);
  a.close();
  EXPECT_FALSE(a.is_open());
  a.close();  // twice is harmless
}

TEST(File, WorksAtOffsetsAndCuts) {
  Temp_Dir dir;
  const std::string path = dir.write("f", "0123456789");
  platform::File file;
  ASSERT_TRUE(file.open(path, platform::File::READ | platform::File::WRITE));
  char buffer[8] = {};
  EXPECT_EQ(3, file.read_at(buffer, 3, 4));
  EXPECT_EQ("456", std::string(buffer, 3));
  EXPECT_EQ(2, file.read_at(buffer, sizeof buffer, 8));
  EXPECT_EQ(0, file.read_at(buffer, sizeof buffer, 10));
  EXPECT_EQ(0, file.read_at(buffer, sizeof buffer, 1000));
  EXPECT_TRUE(file.write_at("ab", 2, 2));
#ifdef _WIN32
  EXPECT_TRUE(file.rewind());  // Windows moves the position with read_at and write_at
#endif
  EXPECT_EQ(4, file.read(buffer, 4));  // on POSIX the position is still the start
  EXPECT_EQ("01ab", std::string(buffer, 4));

  std::uint64_t size = 0;
  EXPECT_TRUE(file.size(size));
  EXPECT_EQ(10u, size);
  EXPECT_TRUE(file.truncate(5));
  EXPECT_TRUE(file.size(size));
  EXPECT_EQ(5u, size);
  EXPECT_TRUE(file.write_at("XY", 2, 7));  // past the end: a gap of zeros
  EXPECT_TRUE(file.rewind());
  EXPECT_EQ(std::string("01ab4\0\0XY", 9), read_rest(file));
  EXPECT_TRUE(file.truncate(0));
  EXPECT_TRUE(file.size(size));
  EXPECT_EQ(0u, size);
}

TEST(File, OpensOnlyRegularFilesForReadingWithoutWaiting) {
  Temp_Dir dir;
  platform::File file;
  ASSERT_TRUE(file.open_regular(dir.write("f", "content")));
  char buffer[16];
  EXPECT_EQ(7, file.read(buffer, sizeof buffer));
  EXPECT_FALSE(file.write("x", 1));  // read-only

#ifndef _WIN32  // Windows has no FIFOs in the file system
  // A FIFO without a writer would hold an open() for good.
  const std::string fifo = dir / "pipe";
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
  EXPECT_FALSE(file.open_regular(fifo));
  EXPECT_EQ(EINVAL, errno);
  EXPECT_FALSE(file.is_open());
#endif
  EXPECT_FALSE(file.open_regular(dir.path()));
  EXPECT_EQ(EINVAL, errno);
#ifdef _WIN32
  EXPECT_FALSE(file.open_regular("NUL"));  // a device
#else
  EXPECT_FALSE(file.open_regular("/dev/null"));
#endif
  EXPECT_EQ(EINVAL, errno);
  EXPECT_FALSE(file.open_regular(dir / "missing"));
  EXPECT_EQ(ENOENT, errno);
}
