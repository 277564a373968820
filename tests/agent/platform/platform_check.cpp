// Checks the Windows side of the platform layer on a Windows system (wine in
// CI): the calls the module makes answer sensibly, the agent's own time
// conversion agrees with Windows', file writes land whole and read back, and setting the
// clock goes through the seam, where a recording platform sees it and the
// real clock stays untouched. Prints one line per failure; exit status 1 if
// any.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "agent/platform/files.h"
#include "agent/platform/platform.h"
#include "tests/fakes/fake_platform.h"
#include "tests/support/files.h"

namespace {

int failures = 0;

void check(bool ok, const char* what) {
  if (!ok) {
    std::printf("FAILED: %s (GetLastError %lu)\n", what,
                static_cast<unsigned long>(::GetLastError()));
    ++failures;
  }
}

void check_volume() {
  Platform_API& api = *Platform_API::instance();
  WCHAR label[MAX_PATH + 1] = {0}, fs[MAX_PATH + 1] = {0};
  DWORD serial = 0, max_component = 0, flags = 0;
  check(api.get_volume_information(L"C:\\", label, MAX_PATH + 1, &serial,
                                   &max_component, &flags, fs, MAX_PATH + 1) &&
            fs[0] != 0,
        "C:\\ has volume information with a file-system name");
  check(api.get_drive_type(L"C:\\") == DRIVE_FIXED, "C:\\ is a fixed drive");
  check(api.get_drive_type(L"Q:\\") == DRIVE_NO_ROOT_DIR,
        "an unused letter has no root");

  DWORD spc = 0, bps = 0, free_clusters = 0, total = 0;
  check(api.get_disk_free_space_w(L"C:\\", &spc, &bps, &free_clusters, &total) &&
            spc * bps > 0 && total > 0 && free_clusters <= total,
        "C:\\ reports clusters");
  FS_Stat st = {};
  check(get_disk_free_space("C:\\", st) && st.unit_size == 1 &&
            st.total_units > 0 && st.free_units <= st.total_units &&
            st.free_units_all >= st.free_units,
        "C:\\ reports free bytes");
  check(!get_disk_free_space("Q:\\", st), "an unused letter has no free space");
  check(!get_filesystem_type("C:\\").empty(), "C:\\ has a file-system type");

  WCHAR user[UNLEN + 1] = {0};
  DWORD size = UNLEN + 1;
  check(api.get_user_name(user, &size) && user[0] != 0, "the user has a name");
}

void check_system() {
  platform::System_Description d;
  check(platform::describe_system(d) && !d.nodename.empty() &&
            d.sysname == "Windows" && d.cpus > 0 && d.memory > 0,
        "the system describes itself");
  check(platform::uptime_seconds() >= 0, "the uptime is known");
}

// The agent's conversion against Windows' own.
void check_time_conversion() {
  // Fields in SYSTEMTIME's order: year, month, weekday, day, hour, minute,
  // second, milliseconds.
  const std::pair<std::int64_t, SYSTEMTIME> cases[] = {
      {1796564730, {2026, 12, 0, 6, 13, 45, 30, 0}},
      {951868799, {2000, 2, 2, 29, 23, 59, 59, 0}},
      {-11644473600, {1601, 1, 1, 1, 0, 0, 0, 0}}};
  for (const auto& [posix, expected] : cases) {
    FILETIME ft;
    SYSTEMTIME st;
    check(platform::posix_time_to_filetime(posix, 0, ft) && ::FileTimeToSystemTime(&ft, &st) &&
              std::memcmp(&st, &expected, sizeof st) == 0,
          "a POSIX time converts as Windows reads it");
  }
}

void check_clock_seam() {
  Fake_Platform fake;
  Platform_API* previous = Platform_API::instance(&fake);
  SYSTEMTIME before;
  ::GetSystemTime(&before);

  SYSTEMTIME wanted = {1999, 12, 0, 31, 23, 0, 0, 0};
  check(platform::set_system_clock(wanted) && fake.calls().size() == 1 &&
            fake.last_time.wYear == 1999 && fake.last_time.wDay == 31,
        "setting the clock goes through the platform's seam");
  wanted.wMonth = 13;
  ::SetLastError(0);
  check(!platform::set_system_clock(wanted) &&
            ::GetLastError() == ERROR_INVALID_PARAMETER && fake.calls().size() == 1,
        "a time that does not exist is refused before the seam");

  SYSTEMTIME after;
  ::GetSystemTime(&after);
  check(after.wYear == before.wYear, "the machine's clock is untouched");
  Platform_API::instance(previous);
}

void check_files() {
  char temp[MAX_PATH + 1];
  check(::GetTempPathA(MAX_PATH + 1, temp) > 0, "there is a temp folder");
  const std::string path = std::string(temp) + "wagent-platform-check.txt";
  ::DeleteFileA(path.c_str());

  check(platform::replace_file(path, "first", 0600) && read_file(path) == "first",
        "a file is written whole");
  check(platform::replace_file(path, "second", 0600) && read_file(path) == "second",
        "a file is replaced whole");
  check(!platform::replace_file(std::string(temp) + "no\\such\\folder\\x", "x", 0600) &&
            errno == ENOENT,
        "a write into a missing folder fails with ENOENT");
  ::DeleteFileA(path.c_str());

  check(platform::append_line(path, "one\n", 0640) &&
            platform::append_line(path, "two\n", 0640) &&
            read_file(path) == "one\ntwo\n",
        "lines are appended in order");
  std::string text;
  check(platform::read_file(path, text) && text == "one\ntwo\n" &&
            platform::read_file(path, text, true) && text == "one\ntwo",
        "a file is read whole, its trailing line ends dropped on request");
  ::DeleteFileA(path.c_str());
  check(!platform::read_file(path, text) && errno == ENOENT && text.empty(),
        "a missing file reads as ENOENT");

  const std::string top = std::string(temp) + "wagent-platform-folders";
  const std::string deep = top + "\\a\\b";
  check(platform::make_folders(deep, 0750) && platform::make_folders(deep, 0750) &&
            platform::replace_file(deep + "\\f", "x", 0600),
        "folders are made with their parents, and again without harm");
  ::DeleteFileA((deep + "\\f").c_str());
  ::RemoveDirectoryA(deep.c_str());
  ::RemoveDirectoryA((top + "\\a").c_str());
  ::RemoveDirectoryA(top.c_str());
}

}  // namespace

int main() {
  check_volume();
  check_system();
  check_time_conversion();
  check_clock_seam();
  check_files();
  std::printf("%s: %d failure(s)\n", failures ? "FAILED" : "passed", failures);
  return failures ? 1 : 0;
}
