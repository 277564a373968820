// The mount table (/proc/self/mountinfo), what a mount's type and device
// say about its drive type, and which mount holds a path.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <set>
#include <sstream>

#include "agent/platform/files.h"
#include "agent/platform/mounts.h"
#include "agent/platform/posix_platform.h"

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

namespace {

// The parsed table, kept until the kernel says it changed: a mountinfo file
// open for reading polls POLLPRI once after each mount or unmount. Reading
// and parsing it anew per listing cost more than the listing of a small
// folder.
class Mount_Table_Cache {
 public:
  std::shared_ptr<const std::vector<Mount_Entry>> get() {
    std::lock_guard<std::mutex> guard(lock_);
    if (changed() || !table_) {
      std::string text;
      read_file("/proc/self/mountinfo", text);
      table_ = std::make_shared<const std::vector<Mount_Entry>>(
          parse_mountinfo(text));
    }
    return table_;
  }

 private:
  // Without a watch (no /proc, or poll refused) every call reads afresh.
  bool changed() {
    if (watch_ < 0) {
      if (watch_failed_) return true;
      watch_ = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
      if (watch_ < 0) {
        watch_failed_ = true;
        return true;
      }
      return true;  // the table is read after the watch is set
    }
    struct pollfd p = {watch_, POLLPRI, 0};
    const int n = ::poll(&p, 1, 0);
    if (n < 0) return true;
    return n > 0 && (p.revents & (POLLPRI | POLLERR)) != 0;
  }

  std::mutex lock_;
  std::shared_ptr<const std::vector<Mount_Entry>> table_;
  int watch_ = -1;
  bool watch_failed_ = false;
};

Mount_Table_Cache& mount_table_cache() {
  static Mount_Table_Cache* cache = new Mount_Table_Cache();
  return *cache;
}

}  // namespace

std::shared_ptr<const std::vector<Mount_Entry>> mount_table() {
  return mount_table_cache().get();
}

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

bool is_removable(const std::string& source) {
  if (source.compare(0, 5, "/dev/") != 0) return false;
  std::string device = real_path(source);
  if (device.empty()) device = source;
  const std::string name = device.substr(device.rfind('/') + 1);
  if (name.empty()) return false;
  const std::string base = "/sys/class/block/" + name;
  std::string flag;
  if (!read_file(base + "/removable", flag) || flag.empty())
    read_file(base + "/../removable", flag);
  return !flag.empty() && flag[0] == '1';
}

bool mount_of(const std::string& path, Mount_Info& out) {
  const std::shared_ptr<const std::vector<Mount_Entry>> table = mount_table();
  const std::vector<Mount_Entry>& mounts = *table;
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

std::vector<std::string> list_drives() {
  std::vector<std::string> drives;
  for (char letter = 'a'; letter <= 'z'; ++letter)
    if (!drive_mount_point(letter).empty()) drives.push_back({letter, ':', '\\'});
  return drives;
}

std::string mount_point_of(const std::string& path) {
  const std::shared_ptr<const std::vector<Mount_Entry>> mounts = mount_table();
  const Mount_Entry* m = find_mount(*mounts, path);
  return m ? m->mount_point : std::string();
}

}  // namespace platform
