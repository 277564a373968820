#include "agent/platform/posix_platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/statvfs.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <ace/Log_Msg.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <system_error>
#include <thread>

#include "agent/platform/calendar.h"
#include "agent/platform/mounts.h"
#include "agent/platform/utf.h"

extern char** environ;

// Never destroyed: a late probe thread may still call in during exit.
Platform_API& system_platform_api() {
  static Platform_API* api = new POSIX_Platform_API();
  return *api;
}

// Drive letters here are only names from the drive table.
bool system_has_drive_letters() { return false; }

namespace {

bool is_octal(char c) { return c >= '0' && c <= '7'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The kernel writes space, tab, newline and backslash in mountinfo as \ooo.
std::string decode_octal_escapes(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && is_octal(s[i + 1]) &&
        is_octal(s[i + 2]) && is_octal(s[i + 3])) {
      out += static_cast<char>(((s[i + 1] - '0') << 6) |
                               ((s[i + 2] - '0') << 3) | (s[i + 3] - '0'));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

std::vector<std::string> split_fields(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = line.find(' ', start);
    fields.push_back(line.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return fields;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  if (in) text << in.rdbuf();
  return text.str();
}

// Reading mountinfo never touches the mounted file systems themselves, so
// it cannot hang on a dead one.
std::vector<Mount_Entry> read_mounts() {
  return parse_mountinfo(read_file("/proc/self/mountinfo"));
}

std::string real_path(const std::string& path) {
  char* real = ::realpath(path.c_str(), nullptr);
  if (!real) return std::string();
  std::string out(real);
  std::free(real);
  return out;
}

// What one trip to a mounted file system found; filled on a helper thread.
struct Path_Probe {
  std::string real;  // "" when realpath failed
  int real_error = 0;
  bool have_stat = false;
  int stat_error = 0;
  struct statvfs vfs = {};
  dev_t dev = 0;  // only looked up when the file system has no fsid
};

Path_Probe probe_path(const std::string& path, bool want_real,
                      bool want_statvfs) {
  Path_Probe p;
  if (want_real) {
    p.real = real_path(path);
    if (p.real.empty()) p.real_error = errno;
  }
  if (want_statvfs) {
    if (::statvfs(path.c_str(), &p.vfs) == 0) {
      p.have_stat = true;
      struct stat st;
      if (p.vfs.f_fsid == 0 && ::stat(path.c_str(), &st) == 0)
        p.dev = st.st_dev;
    } else {
      p.stat_error = errno;
    }
  }
  return p;
}

// Probes `path` with the bounded wait, keyed by the mount it lies on as
// written, so one dead mount holds back only its own callers.
bool bounded_probe(const std::vector<Mount_Entry>& mounts,
                   const std::string& path, bool want_real, bool want_statvfs,
                   Path_Probe& out) {
  const Mount_Entry* m = find_mount(mounts, path);
  return platform::run_bounded(
      m ? m->mount_point : path, platform::volume_wait_limit,
      [path, want_real, want_statvfs]() {
        return probe_path(path, want_real, want_statvfs);
      },
      out);
}

// The mount point behind a root such as L"d:\\" or L"d:"; "" with the
// reason set as last error when there is none.
std::string drive_of_root(LPCWSTR root) {
  const auto is_letter = [](wchar_t c) {
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z');
  };
  if (!root || !is_letter(root[0]) || root[1] != L':' ||
      (root[2] != 0 &&
       ((root[2] != L'\\' && root[2] != L'/') || root[3] != 0))) {
    SetLastError(EINVAL);
    return std::string();
  }
  std::string mount_point =
      platform::drive_mount_point(static_cast<char>(root[0]));
  if (mount_point.empty()) SetLastError(ENOENT);
  return mount_point;
}

// The file-system label of a block device source, from the links udev keeps.
std::string label_of(const std::string& source) {
  if (source.empty() || source[0] != '/') return std::string();
  const std::string device = real_path(source);
  if (device.empty()) return std::string();
  const std::string dir = "/dev/disk/by-label";
  DIR* d = ::opendir(dir.c_str());
  if (!d) return std::string();
  std::string label;
  while (struct dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    if (real_path(dir + "/" + name) == device) {
      label = decode_label_name(name);
      break;
    }
  }
  ::closedir(d);
  return label;
}

// Whether the block device behind `source` (or, for a partition, its disk)
// says it is removable.
bool is_removable(const std::string& source) {
  if (source.compare(0, 5, "/dev/") != 0) return false;
  std::string device = real_path(source);
  if (device.empty()) device = source;
  const std::string name = device.substr(device.rfind('/') + 1);
  if (name.empty()) return false;
  const std::string base = "/sys/class/block/" + name;
  std::string flag = read_file(base + "/removable");
  if (flag.empty()) flag = read_file(base + "/../removable");
  return !flag.empty() && flag[0] == '1';
}

void copy_wide(const std::wstring& text, LPWSTR buffer, DWORD size) {
  if (!buffer || size == 0) return;
  const std::size_t n = std::min<std::size_t>(text.size(), size - 1);
  std::copy(text.begin(), text.begin() + n, buffer);
  buffer[n] = 0;
}

// PRETTY_NAME of the os-release file, unquoted; "" when there is none.
std::string os_pretty_name() {
  for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
    std::ifstream in(path);
    std::string line;
    const std::string key = "PRETTY_NAME=";
    while (std::getline(in, line)) {
      if (line.compare(0, key.size(), key) != 0) continue;
      std::string v = line.substr(key.size());
      if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') &&
          v.back() == v.front())
        v = v.substr(1, v.size() - 2);
      return v;
    }
  }
  return std::string();
}

std::string effective_user_name() {
  const uid_t uid = ::geteuid();
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  if (size <= 0) size = 1024;
  for (; size <= (1L << 20); size *= 2) {
    std::vector<char> buffer(size);
    struct passwd pw;
    struct passwd* found = nullptr;
    const int rc = ::getpwuid_r(uid, &pw, buffer.data(), buffer.size(), &found);
    if (rc == ERANGE) continue;
    if (rc == 0 && found && found->pw_name) return found->pw_name;
    break;
  }
  return std::to_string(uid);
}

// A probe thread's progress, shared by the thread and its caller.
struct Task_State {
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  bool threw = false;
  bool stuck = false;  // its caller gave up on it; guarded by the registry
};

// How many given-up probes are still running, by key.
struct Stuck_Registry {
  std::mutex mutex;
  std::map<std::string, int> count;
};

// Never destroyed: stuck threads finish on their own, possibly during exit.
Stuck_Registry& stuck_registry() {
  static Stuck_Registry* registry = new Stuck_Registry();
  return *registry;
}

}  // namespace

std::vector<Mount_Entry> parse_mountinfo(const std::string& text) {
  std::vector<Mount_Entry> mounts;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    const std::vector<std::string> f = split_fields(line);
    // id parent major:minor root mount-point options [optional...] - type
    // source super-options
    if (f.size() < 10) continue;
    std::size_t sep = 6;
    while (sep < f.size() && f[sep] != "-") ++sep;
    if (sep + 2 >= f.size() || f[4].empty()) continue;
    mounts.push_back({decode_octal_escapes(f[4]),
                      decode_octal_escapes(f[sep + 1]),
                      decode_octal_escapes(f[sep + 2])});
  }
  return mounts;
}

const Mount_Entry* find_mount(const std::vector<Mount_Entry>& mounts,
                              const std::string& path) {
  const Mount_Entry* best = nullptr;
  for (const Mount_Entry& m : mounts) {
    const std::string& mp = m.mount_point;
    if (mp.empty() || path.compare(0, mp.size(), mp) != 0) continue;
    if (path.size() > mp.size() && mp.back() != '/' && path[mp.size()] != '/')
      continue;
    if (!best || mp.size() >= best->mount_point.size()) best = &m;
  }
  return best;
}

UINT drive_type_of_fs(const std::string& fs_type) {
  static const std::set<std::string> remote = {
      "nfs",       "nfs4",           "cifs",  "smb3",  "smbfs",
      "ncpfs",     "fuse.sshfs",     "sshfs", "9p",    "ceph",
      "glusterfs", "fuse.glusterfs", "afs",   "davfs", "fuse.davfs2",
      "lustre",    "gpfs",           "beegfs"};
  if (remote.count(fs_type)) return DRIVE_REMOTE;
  if (fs_type == "tmpfs" || fs_type == "ramfs") return DRIVE_RAMDISK;
  if (fs_type == "iso9660" || fs_type == "udf") return DRIVE_CDROM;
  return DRIVE_FIXED;
}

std::string decode_label_name(const std::string& name) {
  std::string out;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '\\' && i + 3 < name.size() && name[i + 1] == 'x' &&
        hex_value(name[i + 2]) >= 0 && hex_value(name[i + 3]) >= 0) {
      out += static_cast<char>(hex_value(name[i + 2]) * 16 +
                               hex_value(name[i + 3]));
      i += 3;
    } else {
      out += name[i];
    }
  }
  return out;
}

namespace platform {

bool describe_system(System_Description& out) {
  struct utsname u;
  if (::uname(&u) != 0) return false;
  out.nodename = u.nodename;
  out.sysname = u.sysname;
  out.release = u.release;
  out.version = u.version;
  out.machine = u.machine;
  out.os = os_pretty_name();
  const long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
  out.cpus = cpus > 0 ? cpus : 0;
  struct sysinfo si;
  out.memory = ::sysinfo(&si) == 0
                   ? static_cast<std::uint64_t>(si.totalram) * si.mem_unit
                   : 0;
  return true;
}

std::int64_t uptime_seconds() {
  // The clock sysinfo's uptime counts, read without a system call.
  struct timespec ts;
  return ::clock_gettime(CLOCK_BOOTTIME, &ts) == 0
             ? static_cast<std::int64_t>(ts.tv_sec)
             : -1;
}

bool mount_of(const std::string& path, Mount_Info& out) {
  const std::vector<Mount_Entry> mounts = read_mounts();
  std::string where = path;
  Path_Probe p;
  if (bounded_probe(mounts, path, true, false, p)) {
    if (p.real.empty()) return false;
    where = p.real;
  }
  const Mount_Entry* m = find_mount(mounts, where);
  if (!m) return false;
  out = Mount_Info{m->source, m->mount_point, m->fs_type};
  return true;
}

std::string mount_point_of(const std::string& path) {
  const std::vector<Mount_Entry> mounts = read_mounts();
  const Mount_Entry* m = find_mount(mounts, path);
  return m ? m->mount_point : std::string();
}

bool run_bounded_task(const std::string& key, std::chrono::milliseconds limit,
                      std::function<void()> task) {
  Stuck_Registry& registry = stuck_registry();
  {
    std::lock_guard<std::mutex> lock(registry.mutex);
    if (registry.count.count(key)) {
      errno = ETIMEDOUT;
      return false;
    }
  }

  auto state = std::make_shared<Task_State>();
  try {
    std::thread([state, key, task = std::move(task)]() {
      bool threw = false;
      try {
        task();
      } catch (...) {
        threw = true;
      }
      Stuck_Registry& registry = stuck_registry();
      std::lock_guard<std::mutex> registry_lock(registry.mutex);
      std::lock_guard<std::mutex> lock(state->mutex);
      state->done = true;
      state->threw = threw;
      if (state->stuck && --registry.count[key] == 0) registry.count.erase(key);
      state->finished.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    errno = EAGAIN;
    return false;
  }

  {
    std::unique_lock<std::mutex> lock(state->mutex);
    state->finished.wait_for(lock, limit, [&] { return state->done; });
  }
  // Lock order as in the thread: registry, then state.
  std::lock_guard<std::mutex> registry_lock(registry.mutex);
  std::lock_guard<std::mutex> lock(state->mutex);
  if (state->done) {
    if (state->threw) errno = ENOMEM;
    return !state->threw;
  }
  state->stuck = true;
  ++registry.count[key];
  errno = ETIMEDOUT;
  return false;
}

}  // namespace platform

BOOL POSIX_Platform_API::get_volume_information(
    LPCWSTR root, LPWSTR volume_name, DWORD volume_name_size, LPDWORD serial,
    LPDWORD max_component_length, LPDWORD fs_flags, LPWSTR fs_name,
    DWORD fs_name_size) {
  const std::string mount_point = drive_of_root(root);
  if (mount_point.empty()) return FALSE;
  const std::vector<Mount_Entry> mounts = read_mounts();
  Path_Probe p;
  if (!bounded_probe(mounts, mount_point, true, true, p)) {
    SetLastError(errno);
    return FALSE;
  }
  if (!p.have_stat) {
    SetLastError(p.stat_error);
    return FALSE;
  }
  const Mount_Entry* m =
      find_mount(mounts, p.real.empty() ? mount_point : p.real);
  copy_wide(utf8_to_utf16(m ? label_of(m->source) : std::string()), volume_name,
            volume_name_size);
  copy_wide(utf8_to_utf16(m ? m->fs_type : std::string()), fs_name,
            fs_name_size);
  if (serial) *serial = static_cast<DWORD>(p.vfs.f_fsid ? p.vfs.f_fsid : p.dev);
  if (max_component_length)
    *max_component_length = static_cast<DWORD>(p.vfs.f_namemax);
  if (fs_flags) *fs_flags = 0x3;  // case sensitive, case preserved
  return TRUE;
}

UINT POSIX_Platform_API::get_drive_type(LPCWSTR root) {
  const std::string mount_point = drive_of_root(root);
  if (mount_point.empty()) return DRIVE_NO_ROOT_DIR;
  const std::vector<Mount_Entry> mounts = read_mounts();
  // When the probe does not come back, judge the mount by its name alone:
  // a hanging drive is most likely a remote one, and still worth listing.
  std::string where = mount_point;
  Path_Probe p;
  if (bounded_probe(mounts, mount_point, true, false, p)) {
    if (p.real.empty() && (p.real_error == ENOENT || p.real_error == ENOTDIR))
      return DRIVE_NO_ROOT_DIR;
    if (!p.real.empty()) where = p.real;
  }
  const Mount_Entry* m = find_mount(mounts, where);
  if (!m) return DRIVE_UNKNOWN;
  const UINT type = drive_type_of_fs(m->fs_type);
  if (type != DRIVE_FIXED) return type;
  return is_removable(m->source) ? DRIVE_REMOVABLE : DRIVE_FIXED;
}

BOOL POSIX_Platform_API::get_disk_free_space_w(LPCWSTR root,
                                               LPDWORD sectors_per_cluster,
                                               LPDWORD bytes_per_sector,
                                               LPDWORD free_clusters,
                                               LPDWORD total_clusters) {
  const std::string mount_point = drive_of_root(root);
  if (mount_point.empty()) return FALSE;
  Path_Probe p;
  if (!bounded_probe(read_mounts(), mount_point, false, true, p)) {
    SetLastError(errno);
    return FALSE;
  }
  if (!p.have_stat) {
    SetLastError(p.stat_error);
    return FALSE;
  }
  const std::uint64_t unit = p.vfs.f_frsize ? p.vfs.f_frsize : p.vfs.f_bsize;
  const std::uint64_t blocks = p.vfs.f_blocks;
  const std::uint64_t avail = p.vfs.f_bavail;
  // Cluster counts are 32-bit: grow the cluster until both counts fit.
  std::uint64_t per_cluster = 1;
  while (blocks / per_cluster > 0xFFFFFFFFu ||
         avail / per_cluster > 0xFFFFFFFFu)
    per_cluster *= 2;
  if (sectors_per_cluster)
    *sectors_per_cluster = static_cast<DWORD>(per_cluster);
  if (bytes_per_sector) *bytes_per_sector = static_cast<DWORD>(unit);
  if (free_clusters) *free_clusters = static_cast<DWORD>(avail / per_cluster);
  if (total_clusters)
    *total_clusters = static_cast<DWORD>(blocks / per_cluster);
  return TRUE;
}

BOOL POSIX_Platform_API::get_user_name(LPWSTR buffer, LPDWORD size) {
  if (!size) {
    SetLastError(EINVAL);
    return FALSE;
  }
  const std::wstring name = utf8_to_utf16(effective_user_name());
  const DWORD needed = static_cast<DWORD>(name.size() + 1);
  if (!buffer || *size < needed) {
    *size = needed;
    SetLastError(ERANGE);
    return FALSE;
  }
  copy_wide(name, buffer, needed);
  *size = needed;
  return TRUE;
}

bool POSIX_Platform_API::restore_connection(wchar_t, const wchar_t*) {
  return false;
}

bool POSIX_Platform_API::disk_free_space(const char* path, FS_Stat& out) {
  if (!path) {
    errno = EINVAL;
    return false;
  }
  const std::string resolved = platform::resolve_path(path);
  if (resolved.empty()) {
    errno = ENOENT;
    return false;
  }
  Path_Probe p;
  if (!bounded_probe(read_mounts(), resolved, false, true, p)) return false;
  if (!p.have_stat) {
    errno = p.stat_error;
    return false;
  }
  out.unit_size = static_cast<std::uint32_t>(p.vfs.f_frsize ? p.vfs.f_frsize
                                                            : p.vfs.f_bsize);
  out.total_units = p.vfs.f_blocks;
  out.free_units = p.vfs.f_bavail;
  out.free_units_all = p.vfs.f_bfree;
  return true;
}

std::string POSIX_Platform_API::filesystem_type(const char* path) {
  if (!path) return std::string();
  const std::string resolved = platform::resolve_path(path);
  if (resolved.empty()) return std::string();
  const std::vector<Mount_Entry> mounts = read_mounts();
  // On a timeout the path as written is the best guide to its mount.
  std::string where = resolved;
  Path_Probe p;
  if (bounded_probe(mounts, resolved, true, false, p)) {
    if (p.real.empty()) return std::string();
    where = p.real;
  }
  const Mount_Entry* m = find_mount(mounts, where);
  return m ? m->fs_type : std::string();
}

BOOL POSIX_Platform_API::set_system_time(const SYSTEMTIME* utc) {
  if (!utc) {
    SetLastError(EINVAL);
    return FALSE;
  }
  struct timespec ts;
  ts.tv_sec = static_cast<time_t>(
      days_from_civil(utc->wYear, utc->wMonth, utc->wDay) * 86400 +
      utc->wHour * 3600 + utc->wMinute * 60 + utc->wSecond);
  ts.tv_nsec = static_cast<long>(utc->wMilliseconds) * 1000000L;
  if (::clock_settime(CLOCK_REALTIME, &ts) != 0) {
    const int error = errno;
    ACE_DEBUG((LM_ERROR, ACE_TEXT("%N:%l: cannot set the clock, %m\n")));
    SetLastError(error);
    return FALSE;
  }
  ACE_DEBUG((LM_NOTICE,
             ACE_TEXT("%N:%l: clock set to %04d-%02d-%02d "
                      "%02d:%02d:%02d UTC\n"),
             utc->wYear, utc->wMonth, utc->wDay, utc->wHour, utc->wMinute,
             utc->wSecond));
  return TRUE;
}

int POSIX_Platform_API::power_off(bool restart) {
  // systemd stops the services in order; reboot(2) is for machines without
  // it, or where it refuses.
  char program[] = "systemctl";
  char verb[16];
  std::snprintf(verb, sizeof verb, "%s", restart ? "reboot" : "poweroff");
  char* argv[] = {program, verb, nullptr};
  pid_t pid;
  int status = 0;
  if (::posix_spawnp(&pid, program, nullptr, nullptr, argv, environ) == 0 &&
      ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
      WEXITSTATUS(status) == 0) {
    ACE_DEBUG((LM_NOTICE, ACE_TEXT("%N:%l: systemctl %C accepted\n"), verb));
    return 0;
  }
  ACE_DEBUG((LM_WARNING, ACE_TEXT("%N:%l: systemctl %C failed; calling "
                                  "reboot(2)\n"), verb));
  ::sync();
  if (::reboot(restart ? RB_AUTOBOOT : RB_POWER_OFF) == 0) return 0;
  ACE_DEBUG((LM_ERROR, ACE_TEXT("%N:%l: reboot(2) refused, %m\n")));
  return -1;
}

namespace platform {

namespace {
bool write_all(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}
}  // namespace

bool replace_file(const std::string& path, const std::string& content,
                  int mode) {
  const std::string temp = path + ".tmp";
  ::unlink(temp.c_str());
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) return false;
  // The mode as asked, whatever the umask: keys are private.
  bool ok = ::fchmod(fd, static_cast<mode_t>(mode)) == 0 &&
            write_all(fd, content) && ::fsync(fd) == 0;
  int error = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (ok && ::rename(temp.c_str(), path.c_str()) == 0) {
    // The rename itself reaches the disk with its folder.
    const std::string::size_type slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : path.substr(0, slash);
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
      ::fsync(dir);
      ::close(dir);
    }
    return true;
  }
  if (ok) error = errno;
  ::unlink(temp.c_str());
  errno = error;
  return false;
}

bool append_line(const std::string& path, const std::string& line, int mode) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, mode);
  if (fd < 0) return false;
  // One write() per line: with O_APPEND each line lands whole at the end,
  // whatever other threads and processes do. Only a short write (a full
  // disk) needs another call, to finish the line.
  bool ok = write_all(fd, line);
  int error = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  errno = error;
  return ok;
}

bool make_executable(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 &&
         ::chmod(path.c_str(), (st.st_mode & 07777) | S_IXUSR) == 0;
}

}  // namespace platform
