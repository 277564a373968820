// The POSIX platform layer: drive table, mount table, directory entries,
// and the real system.
#include "agent/platform/posix_platform.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <future>
#include <thread>

#include "agent/platform/directory_reader.h"
#include "agent/platform/mounts.h"
#include "agent/platform/utf.h"
#include "tests/fakes/temp_dir.h"

using namespace std::chrono_literals;

namespace {

// Puts the drive table back to c: = / only, where every test starts.
struct Drive_Guard { ~Drive_Guard() { platform::clear_drives(); } };

const UINT no_root = DRIVE_NO_ROOT_DIR;

}  // namespace

TEST(DriveTable, LettersMapToMountPointsAndDrivePathsReadThroughThem) {
  EXPECT_TRUE(platform::set_drive('D', "/mnt/d"));
  EXPECT_FALSE(platform::set_drive('1', "/mnt") ||
               platform::set_drive('e', "") || platform::set_drive('e', "rel"));
  const std::pair<const char*, const char*> cases[] = {
      {"c:\\etc", "/etc"}, {"c:", "/"}, {"d:\\x\\y", "/mnt/d/x/y"},
      {"D:/x", "/mnt/d/x"}, {"d:\\\\x//y", "/mnt/d/x/y"}, {"d:\\", "/mnt/d"},
      {"e:\\x", ""}, {"/usr/lib", "/usr/lib"}, {"rel\\name", "rel\\name"}};
  for (const auto& [path, resolved] : cases)
    EXPECT_EQ(resolved, platform::resolve_path(path)) << path;
  EXPECT_TRUE(platform::set_drive('Z', "/mnt/z"));
  EXPECT_EQ((std::vector<std::string>{"c:\\", "d:\\", "z:\\"}), platform::list_drives());
  platform::clear_drives();
  EXPECT_EQ("", platform::drive_mount_point('d'));
  EXPECT_EQ("/", platform::drive_mount_point('C'));
  EXPECT_EQ((std::vector<std::string>{"c:\\"}), platform::list_drives());
}

TEST(MountTable, ParsesFindsAndClassifiesMounts) {
  const auto mounts = parse_mountinfo(
      "1 0 8:1 / / rw,relatime - ext4 /dev/sda1 rw\n"
      "2 1 0:50 / /mnt/my\\040disk rw shared:5 - vfat /dev/disk\\040one rw\n"
      "short line\n"
      "3 1 8:2 / /mnt/a rw - xfs /dev/sda2 rw\n"
      "4 1 0:9 / /mnt/a/b rw - tmpfs tmpfs rw\n"
      "5 1 0:51 / /mnt/a rw - nfs4 server:/export rw,vers=4.2\n");
  EXPECT_EQ(5u, mounts.size());
  // "/mnt/a" is no prefix of "/mnt/ab"; of two equal mounts the later wins.
  const std::pair<const char*, const char*> cases[] = {
      {"/", "ext4 /dev/sda1"}, {"/mnt/ab", "ext4 /dev/sda1"},
      {"/mnt/my disk/x", "vfat /dev/disk one"}, {"relative", "none"},
      {"/mnt/a", "nfs4 server:/export"}, {"/mnt/a/bc", "nfs4 server:/export"},
      {"/mnt/a/b/deep/file", "tmpfs tmpfs"}};
  for (const auto& [path, found] : cases) {
    const Mount_Entry* m = find_mount(mounts, path);
    EXPECT_EQ(found, m ? m->fs_type + " " + m->source : "none") << path;
  }
  const std::pair<const char*, UINT> types[] = {
      {"nfs4", DRIVE_REMOTE}, {"tmpfs", DRIVE_RAMDISK}, {"udf", DRIVE_CDROM},
      {"ext4", DRIVE_FIXED},  {"nfsd", DRIVE_FIXED}};
  for (const auto& [fs_type, drive_type] : types)
    EXPECT_EQ(drive_type, drive_type_of_fs(fs_type)) << fs_type;
  EXPECT_EQ("My Disk", decode_label_name("My\\x20Disk"));
  EXPECT_EQ("\\xZZ odd\\x2", decode_label_name("\\xZZ odd\\x2"));  // kept as is
}

TEST(VolumeQueries, RootDriveDescribesTheRealSystemAndMissingOnesFail) {
  Drive_Guard guard;
  wchar_t label[64] = {L'?'}, fs_name[32] = {0};
  DWORD cluster = 0, sector = 0, avail = 0, total = 0;
  ASSERT_TRUE(GetVolumeInformationW(L"c:\\", label, 64, nullptr, nullptr, nullptr, fs_name, 32));
  EXPECT_NE(L'?', label[0]);  // a label or an empty string, but written
  EXPECT_NE(0, fs_name[0]);
  EXPECT_GT(GetDriveTypeW(L"c:\\"), no_root);  // neither unknown nor rootless
  ASSERT_TRUE(GetDiskFreeSpaceW(L"c:\\", &cluster, &sector, &avail, &total));
  EXPECT_GT(total, 0u);
  EXPECT_LE(avail, total);
  FS_Stat stat = {};
  EXPECT_EQ(utf16_to_utf8(fs_name), get_filesystem_type("c:\\"));
  ASSERT_TRUE(get_disk_free_space("/", stat));
  EXPECT_EQ(total, stat.total_units / cluster);

  ASSERT_TRUE(platform::set_drive('m', "/nonexistent/platform_test"));
  for (const wchar_t* root : {L"q:\\", L"m:\\"}) {
    EXPECT_FALSE(GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr,
                                       nullptr, nullptr, 0));
    EXPECT_EQ(static_cast<DWORD>(ENOENT), GetLastError());
    EXPECT_EQ(no_root, GetDriveTypeW(root));
  }
  EXPECT_EQ(no_root, GetDriveTypeW(L"c:\\etc"));  // not a root
  for (const char* path : {"/nonexistent/platform_test", "q:\\x"}) {
    FS_Stat untouched = {7, 7, 7};
    errno = 0;
    EXPECT_FALSE(get_disk_free_space(path, untouched));
    EXPECT_EQ(ENOENT, errno);
    EXPECT_EQ(7u, untouched.total_units);
    EXPECT_EQ("", get_filesystem_type(path));
  }
}

TEST(PlatformUserName, ReportsTheEffectiveUserAndNeverWritesPastTheBuffer) {
  const struct passwd* pw = ::getpwuid(::geteuid());
  ASSERT_NE(nullptr, pw);
  const std::wstring name = utf8_to_utf16(pw->pw_name);
  const DWORD needed = static_cast<DWORD>(name.size() + 1);
  std::wstring buffer(needed + 4, L'?');
  DWORD size = needed - 1;  // one short: the size it needs is told
  EXPECT_FALSE(GetUserNameW(&buffer[0], &size) || GetUserNameW(nullptr, &size));
  EXPECT_EQ(std::wstring(needed + 4, L'?'), buffer);
  ASSERT_TRUE(GetUserNameW(&buffer[0], &size));  // exactly enough
  EXPECT_EQ(needed, size);
  EXPECT_EQ(name, buffer.c_str());
}

TEST(VolumeProbeWait, GivesUpOnABlockedCallAndRefusesItsKeyUntilItEnds) {
  std::promise<void> gate;
  const auto blocked = [f = gate.get_future().share()] { return f.wait(), 1; };
  auto ran = std::make_shared<std::atomic<bool>>(false);
  const auto marks = [ran] { return *ran = true, 2; };
  int out = 0;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(platform::run_bounded("/stuck", 50ms, blocked, out));
  EXPECT_EQ(ETIMEDOUT, errno);
  // The same key is then refused at once, without running another probe.
  EXPECT_FALSE(platform::run_bounded("/stuck", 10s, marks, out));
  EXPECT_LT((std::chrono::steady_clock::now() - start) / 1ms, 1500);
  EXPECT_FALSE(*ran);
  EXPECT_EQ(0, out);
  // Other keys are not held back; the stuck one is probed again once it ends.
  EXPECT_TRUE(platform::run_bounded("/other", 5s, [] { return 3; }, out));
  EXPECT_EQ(3, out);
  gate.set_value();
  for (int i = 0; i < 100 && !platform::run_bounded("/stuck", 5s, marks, out);
       ++i)
    std::this_thread::sleep_for(20ms);
  EXPECT_EQ(2, out);
}

namespace {

// A FUSE mount whose server never answers: every call that reaches it
// waits until the connection is aborted, as on a dead network mount. It
// needs root (CI runs as root); the guard aborts the connection, which
// ends the waiting calls, and detaches the mount.
class Dead_Mount {
 public:
  explicit Dead_Mount(const std::string& point) : point_(point) {
    fd_ = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fd_ < 0) return;
    const std::string options =
        "fd=" + std::to_string(fd_) + ",rootmode=40000,user_id=0,group_id=0";
    if (::mount("wagent-dead", point.c_str(), "fuse", MS_NOSUID | MS_NODEV,
                options.c_str()) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~Dead_Mount() {
    if (fd_ < 0) return;
    ::close(fd_);
    ::umount2(point_.c_str(), MNT_DETACH);
  }
  bool up() const { return fd_ >= 0; }

 private:
  std::string point_;
  int fd_ = -1;
};

}  // namespace

// The device flag of a storage pool reads the one mount table, and a mount
// that does not answer costs a bounded wait, not the caller's thread.
TEST(MountOf, NamesTheMountOfAPathAndGivesUpOnOneThatDoesNotAnswer) {
  Temp_Dir dir;
  platform::Mount_Info m;
  ASSERT_TRUE(platform::mount_of(dir.path(), m));
  EXPECT_EQ(0u, dir.path().find(m.mount_point));
  EXPECT_FALSE(m.type.empty());
  EXPECT_FALSE(platform::mount_of(dir / "missing", m));

  const std::string point = dir / "dead";
  std::filesystem::create_directory(point);
  platform::Mount_Info dead_info;
  std::future<bool> answer;  // outlives the mount: a stuck call ends with it
  Dead_Mount dead(point);
  if (!dead.up()) GTEST_SKIP() << "no FUSE mount here (needs root and /dev/fuse)";
  const auto start = std::chrono::steady_clock::now();
  answer = std::async(std::launch::async,
                      [&] { return platform::mount_of(point + "/pool", dead_info); });
  ASSERT_EQ(std::future_status::ready, answer.wait_for(10s));
  EXPECT_LT(std::chrono::steady_clock::now() - start, platform::volume_wait_limit + 1s);
  EXPECT_TRUE(answer.get());
  EXPECT_EQ(point, dead_info.mount_point);
  EXPECT_EQ("fuse", dead_info.type);
  EXPECT_EQ("wagent-dead", dead_info.source);
}

// Where the directory records no entry types (DT_UNKNOWN, as on XFS
// without ftype and many FUSE and network file systems) each entry is asked
// for its own, so a folder never passes for a file.
TEST(DirectoryReader, TypesComeFromTheEntryWhereTheDirectoryKeepsNone) {
  Temp_Dir dir;
  std::filesystem::create_directory(dir / "sub");
  dir.write("file", "x");
  ASSERT_EQ(0, ::mkfifo((dir / "pipe").c_str(), 0600));
  std::filesystem::create_symlink(dir / "sub", dir / "link");
  const std::map<std::string, mode_t> expected = {
      {"sub", S_IFDIR}, {"file", S_IFREG}, {"pipe", S_IFIFO}, {"link", S_IFLNK}};
  struct Restore {
    ~Restore() { Directory_Reader::report_types_unknown(false); }
  } restore;
  for (bool unknown : {false, true}) {
    Directory_Reader::report_types_unknown(unknown);
    Directory_Reader reader;
    ASSERT_TRUE(reader.open(dir.path().c_str(), true, 0));
    std::map<std::string, mode_t> seen;
    Directory_Entry_T<char> entry;
    while (reader.read(entry)) seen[entry.name] = entry.mode & S_IFMT;
    EXPECT_EQ(expected, seen) << (unknown ? "DT_UNKNOWN" : "d_type");
  }
}
