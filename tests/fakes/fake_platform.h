// A platform with drives, accounts and volumes set by the test; records
// every call it gets.
#ifndef TESTS_FAKES_FAKE_PLATFORM_H
#define TESTS_FAKES_FAKE_PLATFORM_H

#include <cerrno>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "agent/platform/platform.h"
#include "tests/fakes/installed.h"

class Fake_Platform : public Platform_API {
 public:
  struct Drive {
    bool volume_ok = true, volume_ok_after_restore = false, restore_result = false;
    std::wstring label, fs_name = L"NTFS";
    UINT type = DRIVE_FIXED;
    bool free_ok = true;
    DWORD total_clusters = 4000;  // of 4096 bytes, 1000 of them free
  };

  // Calls in order, such as "volume c", "restore e", "free c".
  std::vector<std::string> calls() const {
    std::lock_guard<std::mutex> g(lock_);
    return calls_;
  }
  std::size_t count(const std::string& call) const {
    std::size_t n = 0;
    for (const std::string& c : calls()) n += c == call;
    return n;
  }

  std::map<wchar_t, Drive> drives;
  bool user_ok = true;
  std::wstring user = L"alice";
  bool disk_ok = true;
  FS_Stat disk{4096, 1000, 250};
  std::string fs_type = "ext4";
  // Clock changes: recorded as "set_time 2024-03-05 14:07:09"; the last one
  // is kept whole. With set_time_ok false they fail with EPERM.
  bool set_time_ok = true;
  SYSTEMTIME last_time = {};

  BOOL get_volume_information(LPCWSTR root, LPWSTR name, DWORD name_size, LPDWORD, LPDWORD,
                              LPDWORD, LPWSTR fs, DWORD fs_size) override {
    Drive* d = drive("volume", root);
    if (!d || !d->volume_ok) {
      SetLastError(ENOENT);
      return FALSE;
    }
    copy(d->label, name, name_size);
    copy(d->fs_name, fs, fs_size);
    return TRUE;
  }
  UINT get_drive_type(LPCWSTR root) override {
    Drive* d = drive("type", root);
    return d ? d->type : DRIVE_NO_ROOT_DIR;
  }
  BOOL get_disk_free_space_w(LPCWSTR root, LPDWORD spc, LPDWORD bps, LPDWORD free_clusters,
                             LPDWORD total_clusters) override {
    Drive* d = drive("free", root);
    if (!d || !d->free_ok) return FALSE;
    *spc = 8;
    *bps = 512;
    *free_clusters = 1000;
    *total_clusters = d->total_clusters;
    return TRUE;
  }
  BOOL get_user_name(LPWSTR buffer, LPDWORD size) override {
    record("user");
    if (!user_ok || *size <= user.size()) return FALSE;
    copy(user, buffer, *size);
    *size = static_cast<DWORD>(user.size() + 1);
    return TRUE;
  }
  bool restore_connection(wchar_t letter, const wchar_t*) override {
    record("restore " + std::string(1, static_cast<char>(letter)));
    auto it = drives.find(letter);
    if (it == drives.end() || !it->second.restore_result) return false;
    it->second.volume_ok = it->second.volume_ok_after_restore;
    return true;
  }
  bool disk_free_space(const char* path, FS_Stat& out) override {
    record(std::string("disk ") + path);
    if (!disk_ok) return false;
    out = disk;
    return true;
  }
  std::string filesystem_type(const char* path) override {
    record(std::string("fstype ") + path);
    return fs_type;
  }
  BOOL set_system_time(const SYSTEMTIME* utc) override {
    char text[64];
    std::snprintf(text, sizeof text, "set_time %04u-%02u-%02u %02u:%02u:%02u",
                  unsigned{utc->wYear}, unsigned{utc->wMonth}, unsigned{utc->wDay},
                  unsigned{utc->wHour}, unsigned{utc->wMinute}, unsigned{utc->wSecond});
    record(text);
    last_time = *utc;
    if (!set_time_ok) SetLastError(EPERM);
    return set_time_ok;
  }
  // Recorded as "power reboot" or "power shutdown"; with power_ok false
  // they fail with EPERM.
  bool power_ok = true;
  int power_off(bool restart) override {
    record(restart ? "power reboot" : "power shutdown");
    if (power_ok) return 0;
    errno = EPERM;
    return -1;
  }

 private:
  void record(const std::string& call) {
    std::lock_guard<std::mutex> g(lock_);
    calls_.push_back(call);
  }
  Drive* drive(const char* what, LPCWSTR root) {
    record(std::string(what) + " " + static_cast<char>(root[0]));
    auto it = drives.find(root[0]);
    return it == drives.end() ? nullptr : &it->second;
  }
  static void copy(const std::wstring& from, LPWSTR to, DWORD size) {
    if (!to || !size) return;
    std::size_t n = from.size() < size - 1 ? from.size() : size - 1;
    from.copy(to, n);
    to[n] = 0;
  }

  mutable std::mutex lock_;
  std::vector<std::string> calls_;
};

#endif
