// The identity kept under chost/: one UUID for good, the access key in a
// file only its owner reads, gone when the key is cleared.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

#include "agent/chost/host_manager.h"
#include "tests/fakes/recording_log.h"
#include "tests/fakes/temp_dir.h"

TEST(FileHostManager, KeepsItsUuidAndKeyAcrossInstancesAndClearsTheKeyFile) {
  Temp_Dir dir;
  const std::string key_file = dir / "access_key";
  std::string uuid;
  {
    File_Host_Manager first(dir.path());
    uuid = first.uuid();
    EXPECT_EQ(36u, uuid.size());
    EXPECT_EQ(0u, first.access_key_size());
    ASSERT_TRUE(first.access_key("K1"));
  }
  struct stat st;
  ASSERT_EQ(0, ::stat(key_file.c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);

  File_Host_Manager second(dir.path());
  EXPECT_EQ(uuid, second.uuid());
  EXPECT_EQ("K1", second.access_key());
  ASSERT_TRUE(second.access_key(""));
  EXPECT_FALSE(std::filesystem::exists(key_file));
  EXPECT_EQ(0u, File_Host_Manager(dir.path()).access_key_size());
  EXPECT_EQ(std::vector<std::string>{"uuid"}, [&] {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir.path()))
      names.push_back(e.path().filename().string());
    return names;
  }());

  // A key that cannot be kept is refused, and the old one stays in use.
  Recording_Log log;
  File_Host_Manager nowhere(dir / "missing");
  EXPECT_FALSE(nowhere.access_key("K2"));
  EXPECT_EQ(0u, nowhere.access_key_size());
  EXPECT_EQ(1u, log.count(LM_ERROR, "cannot keep the access key"));
}
