// The portable side of the platform layer: volumes, free space, drive
// letters, and the seam through which tests replace the system.
#ifndef PLATFORM_PLATFORM_H
#define PLATFORM_PLATFORM_H

#include <cstdint>
#include <string>

#include "agent/platform/service_instance.h"
#include "agent/platform/win32.h"

struct FS_Stat {
  std::uint32_t unit_size;    // bytes per counted unit
  std::uint64_t total_units;
  std::uint64_t free_units;   // available to unprivileged users
  // Free with the blocks reserved for the superuser, which the agent is:
  // what a backup written by it can fill. Zero when unknown.
  std::uint64_t free_units_all = 0;
};

// Free space of the volume holding `path` (a POSIX path or a drive path
// such as d:\data). False when the path cannot be queried.
bool get_disk_free_space(const char* path, FS_Stat& out);

// File-system type of the volume holding `path` ("ext4", "NTFS", ...);
// "" when unknown.
std::string get_filesystem_type(const char* path);

// Tries to reconnect a remembered network drive mapping for `letter`.
// Always false on POSIX, where there are no such mappings.
bool wnet_restore_connection(wchar_t letter, const wchar_t* remote_name);

namespace platform {

// Drive table: c: is / unless configured otherwise; other letters come
// from the host's configuration (set drive.d /mnt/data).
bool set_drive(char letter, const std::string& mount_point);
void clear_drives();  // back to c: = / only
// Mount point of a drive letter; "" when the letter is not configured.
std::string drive_mount_point(char letter);
// A path written with a drive letter ("d:\x\y", "d:/x", "D:") read through
// the drive table ("/mnt/data/x/y"); other paths come back unchanged, and
// a letter without a drive gives "".
std::string resolve_path(const std::string& path);

// The system's text for errno value `errnum` ("Unknown error" when it has
// none), safe to call from any thread.
std::string error_text(int errnum);
// The system's text for a code GetLastError() answered: Windows' own message
// on Windows, where such codes are not errno values; error_text elsewhere,
// where the layer keeps errno values there.
std::string last_error_text(unsigned long code);

// Path templates are written with `\`; on POSIX they become `/`.
std::string native_separators(std::string path);
// `text` with every $NAME replaced by its environment value through
// ACE_OS::strenvdup (which takes only the first one of a text, so each is
// given its own piece), then with native separators. Unset names stay.
std::string expand_environment(const std::string& text);
// What does not change while the agent runs: uname's names, the OS's
// pretty name (os-release), processors online, total memory.
struct System_Description {
  std::string nodename, sysname, release, version, machine;
  std::string os;             // "" when there is no os-release file
  long cpus = 0;              // 0 when unknown
  std::uint64_t memory = 0;   // bytes; 0 when unknown
};
// False when the machine's names cannot be read.
bool describe_system(System_Description& out);
// Seconds since the machine started; -1 when unknown.
std::int64_t uptime_seconds();

// Sets the machine's clock to `utc` through Platform_API on every system;
// FALSE with GetLastError() when `utc` is no valid time or the system
// refuses. Whether the clock may be touched at all is decided a layer above
// (systemutil), never here.
BOOL set_system_clock(const SYSTEMTIME& utc);

// POSIX seconds (and nanoseconds) as a FILETIME; false before 1601.
bool posix_time_to_filetime(std::int64_t seconds, long nanoseconds,
                            FILETIME& out);

}  // namespace platform

// What the platform layer asks of the system. The free functions above and
// the POSIX versions of the Windows calls go through Platform_API::instance()
// (the system's own unless a test installs a fake to observe every call).
class Platform_API : public Service_Instance_T<Platform_API> {
 public:
  virtual ~Platform_API();

  virtual BOOL get_volume_information(LPCWSTR root, LPWSTR volume_name,
                                      DWORD volume_name_size, LPDWORD serial,
                                      LPDWORD max_component_length,
                                      LPDWORD fs_flags, LPWSTR fs_name,
                                      DWORD fs_name_size) = 0;
  virtual UINT get_drive_type(LPCWSTR root) = 0;
  virtual BOOL get_disk_free_space_w(LPCWSTR root, LPDWORD sectors_per_cluster,
                                     LPDWORD bytes_per_sector,
                                     LPDWORD free_clusters,
                                     LPDWORD total_clusters) = 0;
  virtual BOOL get_user_name(LPWSTR buffer, LPDWORD size) = 0;
  virtual bool restore_connection(wchar_t letter, const wchar_t* remote) = 0;
  virtual bool disk_free_space(const char* path, FS_Stat& out) = 0;
  virtual std::string filesystem_type(const char* path) = 0;
  // Sets the system clock to `utc`; FALSE with the error for GetLastError.
  // Whether the clock may be touched at all is decided a layer above
  // (systemutil), never here.
  virtual BOOL set_system_time(const SYSTEMTIME* utc) = 0;
  // Restarts (`restart`) or powers off the machine; 0, or -1 with errno.
  // Like the clock, whether it may happen is decided by systemutil.
  virtual int power_off(bool restart) = 0;
};

extern template class Service_Instance_T<Platform_API>;

#endif
