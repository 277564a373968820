// The POSIX platform layer: drive table, mount table, and the real system.
#include "agent/platform/posix_platform.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <future>
#include <thread>

#include "agent/mdrt/utf.h"
#include "agent/platform/platform.h"

using namespace std::chrono_literals;

namespace {

// Puts the drive table back as it was found: c: = / only.
struct Drive_Guard {
  Drive_Guard() { platform::clear_drives(); }
  ~Drive_Guard() { platform::clear_drives(); }
};

const UINT no_root = DRIVE_NO_ROOT_DIR;

}  // namespace

TEST(DriveTable, LettersMapToMountPointsAndDrivePathsReadThroughThem) {
  Drive_Guard guard;
  EXPECT_EQ("/", platform::drive_mount_point('C'));
  EXPECT_EQ("", platform::drive_mount_point('d'));

  EXPECT_TRUE(platform::set_drive('D', "/mnt/data"));
  EXPECT_EQ("/mnt/data", platform::drive_mount_point('d'));
  EXPECT_FALSE(platform::set_drive('1', "/mnt"));
  EXPECT_FALSE(platform::set_drive('e', ""));
  EXPECT_FALSE(platform::set_drive('e', "relative/dir"));

  // Drive paths read through the table; others pass unchanged.
  EXPECT_EQ("/etc", platform::resolve_path("c:\\etc"));
  EXPECT_EQ("/", platform::resolve_path("c:"));
  EXPECT_EQ("/mnt/data/x/y", platform::resolve_path("d:\\x\\y"));
  EXPECT_EQ("/mnt/data/x", platform::resolve_path("D:/x"));
  EXPECT_EQ("/mnt/data/x/y", platform::resolve_path("d:\\\\x//y"));
  EXPECT_EQ("/mnt/data", platform::resolve_path("d:\\"));
  EXPECT_EQ("", platform::resolve_path("q:\\x"));
  EXPECT_EQ("/usr/lib", platform::resolve_path("/usr/lib"));
  EXPECT_EQ("relative\\name", platform::resolve_path("relative\\name"));

  platform::clear_drives();
  EXPECT_EQ("", platform::drive_mount_point('d'));
  EXPECT_EQ("/", platform::drive_mount_point('c'));
}

TEST(MountTable, ParsesFieldsAndDecodesEscapes) {
  const std::string text =
      "26 1 254:0 / / rw,relatime - ext4 /dev/vda rw\n"
      "40 26 0:50 / /mnt/my\\040disk rw shared:5 master:1 - vfat "
      "/dev/disk\\040one rw\n"
      "short line\n"
      "41 26 0:51 / /mnt/nfs rw - nfs4 server:/export rw,vers=4.2\n";
  const auto mounts = parse_mountinfo(text);
  ASSERT_EQ(3u, mounts.size());
  EXPECT_EQ("/", mounts[0].mount_point);
  EXPECT_EQ("/mnt/my disk", mounts[1].mount_point);
  EXPECT_EQ("vfat", mounts[1].fs_type);
  EXPECT_EQ("/dev/disk one", mounts[1].source);
  EXPECT_EQ("nfs4", mounts[2].fs_type);
  EXPECT_EQ("server:/export", mounts[2].source);
}

TEST(MountTable, LongestMountAtAComponentBoundaryWinsAndLaterShadows) {
  const auto mounts = parse_mountinfo(
      "1 0 8:1 / / rw - ext4 /dev/sda1 rw\n"
      "2 1 8:2 / /mnt/a rw - xfs /dev/sda2 rw\n"
      "3 1 0:9 / /mnt/a/b rw - tmpfs tmpfs rw\n"
      "4 1 8:3 / /mnt/a rw - btrfs /dev/sda3 rw\n");
  const auto fs_of = [&](const std::string& path) {
    const Mount_Entry* m = find_mount(mounts, path);
    return m ? m->fs_type : std::string("none");
  };
  EXPECT_EQ("ext4", fs_of("/"));
  EXPECT_EQ("ext4", fs_of("/mnt/ab"));
  EXPECT_EQ("btrfs", fs_of("/mnt/a"));
  EXPECT_EQ("btrfs", fs_of("/mnt/a/bc"));
  EXPECT_EQ("tmpfs", fs_of("/mnt/a/b/deep/file"));
  EXPECT_EQ("none", fs_of("relative"));
  EXPECT_EQ(nullptr, find_mount({}, "/"));
}

TEST(VolumeClassification, FsTypesAndLabelNames) {
  for (const char* fs : {"nfs", "nfs4", "cifs", "fuse.sshfs", "9p", "ceph"})
    EXPECT_EQ(static_cast<UINT>(DRIVE_REMOTE), drive_type_of_fs(fs)) << fs;
  EXPECT_EQ(static_cast<UINT>(DRIVE_RAMDISK), drive_type_of_fs("tmpfs"));
  EXPECT_EQ(static_cast<UINT>(DRIVE_CDROM), drive_type_of_fs("udf"));
  EXPECT_EQ(static_cast<UINT>(DRIVE_FIXED), drive_type_of_fs("ext4"));
  EXPECT_EQ(static_cast<UINT>(DRIVE_FIXED), drive_type_of_fs("nfsd"));

  EXPECT_EQ("My Disk", decode_label_name("My\\x20Disk"));
  EXPECT_EQ("odd\\x2", decode_label_name("odd\\x2"));
  EXPECT_EQ("\\xZZ", decode_label_name("\\xZZ"));
}

TEST(VolumeQueries, RootDriveDescribesTheRealSystem) {
  Drive_Guard guard;
  wchar_t label[64] = {L'?'};
  wchar_t fs_name[32] = {0};
  DWORD serial = 0, max_component = 0, flags = 0;
  ASSERT_TRUE(GetVolumeInformationW(L"c:\\", label, 64, &serial, &max_component,
                                    &flags, fs_name, 32));
  EXPECT_NE(L'?', label[0]);  // a label or an empty string, but written
  EXPECT_FALSE(utf16_to_utf8(fs_name).empty());
  EXPECT_EQ(get_filesystem_type("/"), utf16_to_utf8(fs_name));
  EXPECT_GT(max_component, 0u);
  EXPECT_EQ(3u, flags);
  // Every out parameter may be left out.
  EXPECT_TRUE(GetVolumeInformationW(L"C:", nullptr, 0, nullptr, nullptr,
                                    nullptr, nullptr, 0));
  // A short buffer gets a truncated, terminated name.
  wchar_t tiny[2] = {L'?', L'?'};
  ASSERT_TRUE(GetVolumeInformationW(L"c:\\", nullptr, 0, nullptr, nullptr,
                                    nullptr, tiny, 2));
  EXPECT_EQ(fs_name[0], tiny[0]);
  EXPECT_EQ(0, tiny[1]);

  DWORD per_cluster = 0, sector = 0, free_clusters = 0, total = 0;
  ASSERT_TRUE(GetDiskFreeSpaceW(L"c:\\", &per_cluster, &sector, &free_clusters,
                                &total));
  EXPECT_GT(per_cluster * sector, 0u);
  EXPECT_GT(total, 0u);
  EXPECT_LE(free_clusters, total);
  EXPECT_NE(no_root, GetDriveTypeW(L"c:\\"));
  EXPECT_NE(static_cast<UINT>(DRIVE_UNKNOWN), GetDriveTypeW(L"c:\\"));
}

TEST(VolumeQueries, UnknownOrMissingDrivesFail) {
  Drive_Guard guard;
  DWORD serial = 0, clusters = 0;
  EXPECT_FALSE(GetVolumeInformationW(L"q:\\", nullptr, 0, &serial, nullptr,
                                     nullptr, nullptr, 0));
  EXPECT_EQ(static_cast<DWORD>(ENOENT), GetLastError());
  EXPECT_FALSE(
      GetDiskFreeSpaceW(L"q:\\", nullptr, nullptr, &clusters, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ENOENT), GetLastError());
  EXPECT_EQ(no_root, GetDriveTypeW(L"q:\\"));
  EXPECT_EQ(no_root, GetDriveTypeW(L"c:\\etc"));

  // A configured drive whose directory is gone has no root either.
  ASSERT_TRUE(platform::set_drive('m', "/nonexistent/platform_test"));
  EXPECT_EQ(no_root, GetDriveTypeW(L"m:\\"));
  EXPECT_FALSE(GetVolumeInformationW(L"m:\\", nullptr, 0, nullptr, nullptr,
                                     nullptr, nullptr, 0));
  EXPECT_EQ(static_cast<DWORD>(ENOENT), GetLastError());
}

TEST(FreeSpace, RealPathsAndDrivePaths) {
  Drive_Guard guard;
  const std::string temp_dir = ::testing::TempDir();
  FS_Stat root = {}, temp = {}, via_drive = {};
  ASSERT_TRUE(get_disk_free_space("/", root));
  EXPECT_GT(root.unit_size * root.total_units, 0u);
  EXPECT_LE(root.free_units, root.total_units);
  ASSERT_TRUE(get_disk_free_space(temp_dir.c_str(), temp));
  EXPECT_GT(temp.total_units, 0u);

  ASSERT_TRUE(platform::set_drive('t', temp_dir));
  ASSERT_TRUE(get_disk_free_space("t:\\", via_drive));
  EXPECT_EQ(temp.total_units, via_drive.total_units);

  FS_Stat untouched = {7, 7, 7};
  errno = 0;
  EXPECT_FALSE(get_disk_free_space("/nonexistent/platform_test", untouched));
  EXPECT_EQ(ENOENT, errno);
  EXPECT_EQ(7u, untouched.total_units);
  EXPECT_FALSE(get_disk_free_space("q:\\x", untouched));
}

TEST(FreeSpace, FilesystemTypeOfPaths) {
  Drive_Guard guard;
  EXPECT_FALSE(get_filesystem_type("/").empty());
  EXPECT_EQ(get_filesystem_type("/"), get_filesystem_type("c:\\"));
  EXPECT_EQ("", get_filesystem_type("/nonexistent/platform_test"));
  EXPECT_EQ("", get_filesystem_type("q:\\"));
  EXPECT_FALSE(wnet_restore_connection(L'z', L"\\\\server\\share"));
}

TEST(PlatformUserName, ReportsTheEffectiveUserAndTheSizeItNeeds) {
  DWORD needed = 0;
  EXPECT_FALSE(GetUserNameW(nullptr, &needed));
  EXPECT_EQ(static_cast<DWORD>(ERANGE), GetLastError());
  ASSERT_GT(needed, 1u);
  std::wstring buffer(needed + 4, L'?');
  DWORD size = needed - 1;
  EXPECT_FALSE(GetUserNameW(&buffer[0], &size));
  EXPECT_EQ(needed, size);
  size = static_cast<DWORD>(buffer.size());
  ASSERT_TRUE(GetUserNameW(&buffer[0], &size));
  EXPECT_EQ(needed, size);
  EXPECT_EQ(0, buffer[needed - 1]);
  const struct passwd* pw = ::getpwuid(::geteuid());
  ASSERT_NE(nullptr, pw);
  EXPECT_EQ(pw->pw_name, utf16_to_utf8(buffer.c_str()));

  EXPECT_FALSE(GetUserNameW(&buffer[0], nullptr));
  EXPECT_EQ(static_cast<DWORD>(EINVAL), GetLastError());
}

TEST(VolumeProbeWait, GivesUpOnABlockedCallAndRefusesItsKeyUntilItEnds) {
  std::promise<void> gate;
  std::shared_future<void> opened = gate.get_future().share();
  const auto took_ms = [](std::chrono::steady_clock::time_point since) {
    return (std::chrono::steady_clock::now() - since) / 1ms;
  };
  int out = 0;
  auto start = std::chrono::steady_clock::now();
  errno = 0;
  const auto blocked = [opened] { return opened.wait(), 1; };
  EXPECT_FALSE(platform::run_bounded("/test/stuck", 50ms, blocked, out));
  EXPECT_EQ(ETIMEDOUT, errno);
  EXPECT_LT(took_ms(start), 1500);
  EXPECT_EQ(0, out);

  // The same mount is refused at once, without running another probe.
  auto ran = std::make_shared<std::atomic<bool>>(false);
  start = std::chrono::steady_clock::now();
  const auto marks = [ran] { return *ran = true, 2; };
  EXPECT_FALSE(platform::run_bounded("/test/stuck", 10s, marks, out));
  EXPECT_EQ(ETIMEDOUT, errno);
  EXPECT_LT(took_ms(start), 1500);
  EXPECT_FALSE(*ran);

  // Other mounts are not held back.
  EXPECT_TRUE(platform::run_bounded(
      "/test/other", 5s, [] { return 3; }, out));
  EXPECT_EQ(3, out);

  // Once the stuck call ends, its mount is probed again.
  gate.set_value();
  bool ok = false;
  for (int i = 0; i < 100 && !ok; ++i) {
    ok = platform::run_bounded(
        "/test/stuck", 5s, [] { return 4; }, out);
    if (!ok) std::this_thread::sleep_for(20ms);
  }
  EXPECT_TRUE(ok);
  EXPECT_EQ(4, out);
}
