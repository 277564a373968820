// The file-backed storage catalog against the real file system: figures
// follow the file system after a resync, bursts cost one refresh, and a
// broken pools file serves nothing and says so once.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

#include "agent/storage_catalog/storage_catalog.h"
#include "tests/fakes/recording_log.h"
#include "tests/fakes/temp_dir.h"

using json_spirit::Object;

namespace {

const char UUID[] = "6f1c2a9e-3b7d-4e5f-8a90-1b2c3d4e5f60";

std::uint64_t figure(File_Storage_Catalog& c, const char* name) {
  Object info;
  EXPECT_TRUE(c.get_pool_info(UUID, 0, info));
  return info[name].get_uint64();
}

TEST(Storage_Catalog, ResyncFollowsTheFileSystemAndCoalescesBursts) {
  Temp_Dir dir;
  // A file system few others write to while the test runs, where there is one.
#ifdef _WIN32
  const Temp_Dir data;
#else
  const Temp_Dir data(std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp");
#endif
  File_Storage_Catalog catalog(dir.write(
      "pools.json", std::string("[{\"uuid\":\"") + UUID + "\",\"name\":\"main\",\"path\":\"" +
                        data.path() + "\"}]"));
  const std::uint64_t used = figure(catalog, "used");
  EXPECT_EQ(figure(catalog, "total"), used + figure(catalog, "free"));

  std::ofstream(data / "fill", std::ios::binary)
      << std::string(32 << 20, 'x');
  // Figures change only with a resync.
  EXPECT_EQ(used, figure(catalog, "used"));
  for (int i = 0; i < 50; ++i) catalog.schedule_resync_usage(UUID);
  catalog.wait_idle();
  EXPECT_LE(catalog.resyncs(), 2u);
  EXPECT_GE(figure(catalog, "used"), used + (16 << 20));

  // An unknown pool is never queued; upper case names the same pool.
  catalog.schedule_resync_usage("00000000-0000-0000-0000-000000000000");
  Object info;
  ASSERT_TRUE(catalog.get_pool_info("6F1C2A9E-3B7D-4E5F-8A90-1B2C3D4E5F60",
                                    Storage_Catalog_Manager::POOL_DEVICE, info));
  EXPECT_EQ(UUID, info["uuid"].get_str());
  const Object& device = info["device"].get_obj();
  EXPECT_EQ(3u, device.size());
  std::string mount_point = device.at("mount_point").get_str();
#ifdef _WIN32  // a drive root with Windows' separator; the test's paths have '/'
  std::replace(mount_point.begin(), mount_point.end(), '\\', '/');
#endif
  EXPECT_EQ(0u, data.path().find(mount_point)) << mount_point;
  EXPECT_FALSE(device.at("type").get_str().empty());
}

TEST(Storage_Catalog, AMalformedPoolsFileServesNothingAndIsLoggedOnce) {
  Temp_Dir dir;
  for (const std::string text :
       {"[{\"uuid\":\"x\"", "{\"uuid\":\"6f1c2a9e-3b7d-4e5f-8a90-1b2c3d4e5f60\"}",
        "[{\"uuid\":\"6f1c2a9e-3b7d-4e5f-8a90-1b2c3d4e5f60\",\"name\":\"a\",\"path\":1}]"}) {
    SCOPED_TRACE(text);
    const std::string file = dir.write("pools.json", text);
    Recording_Log log;
    File_Storage_Catalog catalog(file);
    Object info;
    EXPECT_FALSE(catalog.get_pool_info(UUID, 0, info));
    catalog.schedule_resync_usage(UUID);
    EXPECT_FALSE(catalog.get_pool_info(UUID, 1, info));
    EXPECT_EQ(1u, log.count(LM_ERROR, file + " is malformed"));
  }
}

}  // namespace
