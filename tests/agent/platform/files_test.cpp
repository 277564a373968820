// Whole files through the platform layer: what is read, what is refused
// without waiting, files replaced and appended to, and folders made with
// their parents.
#include "agent/platform/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>

#include "tests/fakes/temp_dir.h"

TEST(Files, ReadsRegularFilesWholeAndRefusesTheRestWithoutWaiting) {
  Temp_Dir dir;
  std::string text = "left";
  const std::string key = dir.write("key", std::string("k\0y\n", 4) + " \t\r\n");
  EXPECT_TRUE(platform::read_file(key, text));
  EXPECT_EQ(std::string("k\0y\n", 4) + " \t\r\n", text);
  EXPECT_TRUE(platform::read_file(key, text, true));
  EXPECT_EQ(std::string("k\0y", 3), text);

#ifndef _WIN32  // Windows has no FIFOs in the file system
  // A FIFO without a writer would hold an open() for good.
  const std::string fifo = dir / "pipe";
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
  text = "left";
  EXPECT_FALSE(platform::read_file(fifo, text));
  EXPECT_EQ(EINVAL, errno);
  EXPECT_EQ("", text);
#endif
  EXPECT_FALSE(platform::read_file(dir.path(), text));  // a folder neither
  EXPECT_EQ(EINVAL, errno);
  EXPECT_FALSE(platform::read_file(dir / "missing", text));
  EXPECT_EQ(ENOENT, errno);
}

TEST(Files, ReplacesAppendsAndMakesFolders) {
  Temp_Dir dir;
  const std::string deep = dir / "a/b/c";
  EXPECT_TRUE(platform::make_folders(deep, 0750));
  EXPECT_TRUE(platform::make_folders(deep, 0750));  // again: nothing to do
  const std::string file = deep + "/f";
  ASSERT_TRUE(platform::replace_file(file, "first", 0600));
  ASSERT_TRUE(platform::replace_file(file, "second", 0640));
  std::string text;
  EXPECT_TRUE(platform::read_file(file, text));
  EXPECT_EQ("second", text);
#ifndef _WIN32  // the modes are POSIX permissions
  struct stat st;
  ASSERT_EQ(0, ::stat(file.c_str(), &st));
  EXPECT_EQ(0640u, st.st_mode & 07777);  // the mode asked, whatever the umask
#endif
  EXPECT_FALSE(platform::make_folders(file + "/under", 0750));  // a file is in the way
  EXPECT_FALSE(platform::replace_file(dir / "no/such/f", "x", 0600));
  EXPECT_EQ(ENOENT, errno);

  ASSERT_TRUE(platform::append_line(file, "\none\n", 0600));
  ASSERT_TRUE(platform::append_line(file, "two\n", 0600));
  EXPECT_TRUE(platform::read_file(file, text));
  EXPECT_EQ("second\none\ntwo\n", text);
  EXPECT_TRUE(platform::make_executable(file));
#ifndef _WIN32
  ASSERT_EQ(0, ::stat(file.c_str(), &st));
  EXPECT_EQ(0740u, st.st_mode & 07777);
#endif
}
