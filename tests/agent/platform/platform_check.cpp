// Checks the Windows side of the platform layer on a Windows system (wine in
// CI): the calls the module makes answer sensibly, the agent's own time
// conversion agrees with Windows', file writes land whole and read back,
// setting the clock goes through the seam, where a recording platform sees
// it and the real clock stays untouched, and commands, directory listings,
// interfaces, mounts and the system's description work for real. Prints one
// line per failure, and one per part skipped with the reason; exit status 1
// if anything failed.
//
// Run with --sleep or --probe-handle, it is the child a check starts.
#include <winsock2.h>  // before windows.h, as the platform layer's headers need
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "agent/platform/directory_reader.h"
#include "agent/platform/file.h"
#include "agent/platform/files.h"
#include "agent/platform/mounts.h"
#include "agent/platform/net_interfaces.h"
#include "agent/platform/platform.h"
#include "agent/platform/process_env.h"
#include "agent/platform/process_runner.h"
#include "agent/platform/service_notify.h"
#include "agent/platform/stop_request.h"
#include "agent/platform/utf.h"
#include "tests/fakes/fake_platform.h"
#include "tests/support/files.h"

namespace {

int failures = 0;

void check(bool ok, const char* what) {
  if (!ok) {
    std::printf("FAILED: %s (GetLastError %lu, errno %d)\n", what,
                static_cast<unsigned long>(::GetLastError()), errno);
    ++failures;
  }
}

void skip(const char* what, const std::string& reason) {
  std::printf("SKIPPED: %s: %s\n", what, reason.c_str());
}

// Wine's version when running under it, "" on Windows.
std::string wine_version() {
  HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  typedef const char*(CDECL * Get)();
  const auto get = ntdll ? reinterpret_cast<Get>(reinterpret_cast<void*>(
                               ::GetProcAddress(ntdll, "wine_get_version")))
                         : nullptr;
  return get ? get() : "";
}

// A folder of this run's own under the temp folder, gone at the end.
class Scratch {
 public:
  Scratch() {
    char temp[MAX_PATH + 1];
    ::GetTempPathA(MAX_PATH + 1, temp);
    path_ = std::string(temp) + "wagent-check-" + std::to_string(::GetCurrentProcessId());
    std::filesystem::create_directories(std::filesystem::u8path(path_));
  }
  ~Scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::u8path(path_), ignored);
  }
  std::string operator/(const std::string& name) const { return path_ + "\\" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::string this_program() {
  wchar_t path[MAX_PATH + 1];
  const DWORD n = ::GetModuleFileNameW(NULL, path, MAX_PATH + 1);
  return utf16_to_utf8(path, n);
}

// Waits up to 20 s for `done`, in small steps.
template <class Done>
bool eventually(Done done) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done() && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  return done();
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
            d.sysname == "Windows" && d.cpus > 0 && d.memory > 0 &&
            !d.release.empty() && d.machine == "x86_64",
        "the system describes itself: name, release, processors, memory");
  std::printf("system: %s, %s %s (%s), %s\n", d.nodename.c_str(), d.sysname.c_str(),
              d.release.c_str(), d.os.empty() ? "no product name" : d.os.c_str(),
              d.machine.c_str());
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

  Scratch dir;
  const std::string named = dir / "n\xc3\xa4me\\d\xc3\xa9j\xc3\xa0\\";
  check(platform::make_folders(named, 0750) &&
            platform::replace_file(named + "\xe2\x82\xac.txt", "euro", 0600) &&
            platform::read_file(named + "\xe2\x82\xac.txt", text) && text == "euro",
        "UTF-8 names reach the system as such, a trailing separator is harmless");
  check(!platform::read_file(dir.path(), text) && errno == EINVAL && text.empty(),
        "a folder is not read as a file (EINVAL)");
  check(!platform::read_file("NUL", text) && errno == EINVAL, "a device is not read (EINVAL)");
}

// One open file: a round trip, appends from two handles landing at the end,
// reads and writes at offsets, cuts, and devices refused.
void check_file() {
  Scratch dir;
  const std::string path = dir / "file.txt";
  using platform::File;
  File file;
  char buffer[16] = {};
  check(file.open(path, File::READ | File::WRITE | File::CREATE) &&
            file.write("hello world", 11) && file.sync_data() && file.rewind() &&
            file.read(buffer, sizeof buffer) == 11 && std::string(buffer) == "hello world" &&
            file.read(buffer, sizeof buffer) == 0,
        "an open file reads back what was written, then its end");
  check(file.write_at("W", 1, 6) && file.read_at(buffer, 5, 6) == 5 &&
            std::string(buffer, 5) == "World" && file.read_at(buffer, 5, 100) == 0,
        "an open file is written and read at offsets");
  std::uint64_t size = 0;
  check(file.size(size) && size == 11 && file.truncate(5) && file.size(size) && size == 5 &&
            file.truncate(0) && file.size(size) && size == 0,
        "an open file is cut to a size");
  File a, b;
  check(a.open(path, File::APPEND) && b.open(path, File::APPEND | File::CREATE) &&
            a.write("one", 3) && b.write("two", 3) && a.write("three", 5) &&
            read_file(path) == "onetwothree",
        "appends from two handles both land at the end");
  check(a.truncate(3) && read_file(path) == "one", "a file opened to append is cut");
  File moved(std::move(a));
  check(!a.is_open() && moved.is_open() && moved.write("!", 1) && read_file(path) == "one!",
        "an open file moves to another object");
  File reader;
  check(reader.open_regular(path) && reader.read(buffer, sizeof buffer) == 4 &&
            !reader.write("x", 1),
        "a regular file opens read-only");
  check(!reader.open_regular("NUL") && errno == EINVAL && !reader.is_open() &&
            !reader.open_regular(dir.path()) && errno == EINVAL &&
            !reader.open_regular(dir / "missing") && errno == ENOENT,
        "devices, folders and missing files are refused");
}

// The child's side of the inheritance check: says on its output whether
// `value` is, in this process, a handle to the file at `path`.
int probe_handle(const char* value, const char* path) {
  HANDLE h = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(std::strtoull(value, nullptr, 16)));
  // The handle first: the probe's own could take the very value probed.
  BY_HANDLE_FILE_INFORMATION a, b;
  const bool valid = ::GetFileInformationByHandle(h, &a);
  HANDLE own = ::CreateFileW(utf8_to_utf16(path).c_str(), FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                             OPEN_EXISTING, 0, NULL);
  const bool same = valid && own != INVALID_HANDLE_VALUE &&
                    ::GetFileInformationByHandle(own, &b) &&
                    a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
                    a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
  std::printf("%s\n", same ? "inherited" : "not inherited");
  return 0;
}

// What a log says once its writer is gone.
std::string log_text(const std::string& path) {
  std::string text;
  platform::read_file(path, text);
  return text;
}

void check_runner_basics() {
  Scratch dir;
  const std::string log = dir / "run.log";
  platform::Process_Exit exit;

  platform::Process_Runner echo("cmd /c echo hello");
  check(echo.command_line() == "cmd /c echo hello", "a command keeps its line");
  check(echo.start(log, 0640), "a command starts");
  check(!echo.start(log, 0640) && errno == EBUSY, "a command starts once (EBUSY)");
  check(echo.wait(exit) && exit.code == 0 && exit.signal == 0, "a command ends with code 0");
  check(log_text(log) == "hello\r\n", "the log holds the command's output");
  check(!echo.wait(exit) && exit.code == 0, "a command is waited for once");

  platform::Process_Runner failing("cmd /c exit 3");
  check(failing.start(log, 0640) && failing.wait(exit) && exit.code == 3,
        "a command's exit code comes back");
  check(log_text(log) == "hello\r\n", "a second command appends to the log");

  platform::Process_Runner blank("   ");
  check(!blank.start(log, 0640) && errno == EINVAL, "a blank line names no program (EINVAL)");
  check(!blank.wait(exit), "a command never started is not waited for");
  platform::Process_Runner no_log("cmd /c echo x");
  check(!no_log.start(dir / "no\\such\\log", 0640) && errno == ENOENT,
        "a log in a missing folder fails with ENOENT");
  platform::Process_Runner missing("wagent-no-such-program.exe");
  check(!missing.start(log, 0640) && errno == ENOENT, "a missing program fails with ENOENT");
}

void check_runner_handles() {
  Scratch dir;
  const std::string self = "\"" + this_program() + "\"";
  platform::Process_Exit exit;
  // Neither a handle made inheritable nor one that is not reaches the
  // child: only its three standard handles do.
  const std::string held = dir / "held";
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  HANDLE inheritable = ::CreateFileW(utf8_to_utf16(held).c_str(), GENERIC_WRITE, share,
                                     &inherit, CREATE_ALWAYS, 0, NULL);
  HANDLE own = ::CreateFileW(utf8_to_utf16(held).c_str(), GENERIC_READ, share, NULL,
                             OPEN_EXISTING, 0, NULL);
  for (HANDLE h : {inheritable, own}) {
    const std::string probe_log = dir / (h == own ? "own.log" : "inheritable.log");
    char value[32];
    std::snprintf(value, sizeof value, "%llx",
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(h)));
    platform::Process_Runner probe(self + " --probe-handle " + value + " \"" + held + "\"");
    check(probe.start(probe_log, 0640) && probe.wait(exit) && exit.code == 0,
          "the handle probe runs");
    std::string said;
    platform::read_file(probe_log, said, true);
    if (said == "not inherited") continue;
    if (said == "inherited" && h == inheritable && !wine_version().empty())
      skip("an inheritable handle of the agent stays out of a command",
           "wine " + wine_version() + " hands every inheritable handle on, ignoring the "
           "handle list");
    else
      check(false, h == own ? "a handle that is not inheritable stays out of a command"
                            : "an inheritable handle of the agent stays out of a command");

  }
  // The probe itself sees an inherited handle: a plain CreateProcessW that
  // inherits all hands it on.
  {
    char value[32];
    std::snprintf(value, sizeof value, "%llx",
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(inheritable)));
    HANDLE out = ::CreateFileW(utf8_to_utf16(dir / "control.log").c_str(), FILE_APPEND_DATA,
                               share, &inherit, OPEN_ALWAYS, 0, NULL);
    std::wstring line = utf8_to_utf16(self + " --probe-handle " + value + " \"" + held + "\"");
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = si.hStdError = out;
    PROCESS_INFORMATION pi = {};
    std::string said;
    if (::CreateProcessW(NULL, &line[0], NULL, NULL, TRUE, CREATE_NO_WINDOW, NULL, NULL, &si,
                         &pi)) {
      ::WaitForSingleObject(pi.hProcess, 20000);
      ::CloseHandle(pi.hThread);
      ::CloseHandle(pi.hProcess);
    }
    ::CloseHandle(out);
    platform::read_file(dir / "control.log", said, true);
    check(said == "inherited", "the probe sees a handle inherited without a handle list");
  }
  ::CloseHandle(inheritable);
  ::CloseHandle(own);
}

void check_runner_tree() {
  Scratch dir;
  const std::string self = "\"" + this_program() + "\"";
  // Paused, resumed, paused again and ended while another thread waits;
  // ending takes what the command started (the sleeper under cmd) along.
  const std::string tree_log = dir / "tree.log";
  platform::Process_Runner tree("cmd /c " + self + " --sleep");
  check(tree.start(tree_log, 0640), "a command tree starts");
  auto ended = std::async(std::launch::async, [&] {
    platform::Process_Exit e;
    tree.wait(e);
    return e;
  });
  DWORD sleeper = 0;
  check(eventually([&] { return (sleeper = std::strtoul(log_text(tree_log).c_str(), nullptr, 10)) != 0; }),
        "the sleeper under cmd says its id");
  HANDLE grandchild = sleeper ? ::OpenProcess(SYNCHRONIZE, FALSE, sleeper) : NULL;
  tree.pause();
  tree.resume();
  check(ended.wait_for(std::chrono::milliseconds(100)) == std::future_status::timeout,
        "a resumed command goes on");
  tree.pause();
  tree.terminate();  // a paused command too
  check(ended.wait_for(std::chrono::seconds(20)) == std::future_status::ready,
        "an ended command is waited for");
  const platform::Process_Exit e = ended.get();
  check(e.code == 143 && e.signal == 15, "an ended command reads as ended by SIGTERM");
  check(grandchild && ::WaitForSingleObject(grandchild, 20000) == WAIT_OBJECT_0,
        "what the command started ends with it");
  if (grandchild) ::CloseHandle(grandchild);
  tree.terminate();  // waited for: nothing happens
}

void check_process_runner() {
  check_runner_basics();
  check_runner_handles();
  check_runner_tree();
}

void check_directory_reader() {
  Scratch dir;
  platform::replace_file(dir / "a.txt", "hello", 0600);
  platform::replace_file(dir / "b.txt", "", 0600);
  platform::replace_file(dir / "caf\xc3\xa9", "x", 0600);
  platform::make_folders(dir / "sub", 0750);
  const std::wstring wide = utf8_to_utf16(dir.path());
  // Some systems report success and make nothing (wine 8's call is a stub).
  const BOOL made = ::CreateSymbolicLinkW((wide + L"\\link").c_str(), L"a.txt",
                                         0x2 /* unprivileged, where allowed */);
  const DWORD link_error = ::GetLastError();
  const bool linked =
      made && ::GetFileAttributesW((wide + L"\\link").c_str()) != INVALID_FILE_ATTRIBUTES;

  std::map<std::string, Directory_Entry_T<char>> seen;
  Directory_Reader r;
  Directory_Entry_T<char> e;
  check(r.open(dir.path().c_str(), true, Directory_Reader::WITH_STAT), "a folder opens");
  while (r.read(e)) seen[e.name] = e;
  check(r.error() == 0, "a folder is read to its end");
  check(seen.size() == (linked ? 5u : 4u) && !seen.count(".") && !seen.count(".."),
        "every entry comes once, without the dots");
  const std::time_t now = std::time(nullptr);
  const Directory_Entry_T<char>& a = seen["a.txt"];
  check(S_ISREG(a.mode) && (a.mode & 0600) == 0600 && a.has_stat && a.size == 5 &&
            a.mtime > now - 86400 && a.mtime < now + 86400,
        "a file has its kind, size and time");
  check(S_ISDIR(seen["sub"].mode), "a folder is a folder");
  check(seen.count("caf\xc3\xa9") == 1, "names come as UTF-8");
  if (linked)
    check(S_ISLNK(seen["link"].mode) && seen["link"].target == "a.txt",
          "a symbolic link is a link with its target");
  else
    skip("symbolic links in a listing",
         made ? "CreateSymbolicLinkW said yes but made nothing"
              : "this system would not make one (GetLastError " + std::to_string(link_error) +
                    ")");

  seen.clear();
  check(r.open(dir.path().c_str(), false, 0), "a folder opens again");
  while (r.read(e)) seen[e.name] = e;
  check(seen.count(".") && seen.count("..") && S_ISDIR(seen["sub"].mode) &&
            !seen["a.txt"].has_stat && seen["a.txt"].size == 0,
        "without details: kinds only, dots included");
  r.close();
  check(!r.read(e) && r.error() == EBADF, "a closed reader reads nothing");
  check(!r.open((dir / "none").c_str(), true, 0) && errno == ENOENT && r.error() == ENOENT,
        "a missing folder fails with ENOENT");
  check(!r.open((dir / "a.txt").c_str(), true, 0) && errno == ENOTDIR,
        "a file is no folder (ENOTDIR)");
  check(r.open("C:", true, 0) && r.read(e), "a drive path is read");
}

void check_interfaces() {
  std::vector<platform::Net_Interface> list;
  check(platform::list_interfaces(list) && !list.empty(), "the interfaces are listed");
  bool loopback = false;
  for (const platform::Net_Interface& i : list) {
    std::string addresses;
    for (const platform::Net_Address& a : i.addresses)
      addresses += " " + a.address + "/" + std::to_string(a.prefix);
    std::printf("interface: %s%s%s%s%s\n", i.name.c_str(), i.up ? " up" : "",
                i.loopback ? " loopback" : "", i.mac.empty() ? "" : (" " + i.mac).c_str(),
                addresses.c_str());
    if (i.mac.size() != 0 && i.mac.size() != 17) check(false, "a MAC reads aa:bb:cc:dd:ee:ff");
    for (const platform::Net_Address& a : i.addresses)
      if (a.address == "127.0.0.1" && a.prefix == 8 && !a.ipv6) loopback = true;
  }
  if (!loopback && !wine_version().empty())
    skip("the loopback interface is listed", "wine " + wine_version() + " does not list it");
  else
    check(loopback, "the loopback interface is listed with 127.0.0.1/8");

  check(platform::is_loopback_address("127.0.0.1") && platform::is_loopback_address("127.3.2.1") &&
            platform::is_loopback_address("::1") &&
            platform::is_loopback_address("::ffff:127.0.0.2"),
        "loopback addresses are loopback");
  check(!platform::is_loopback_address("10.0.0.1") && !platform::is_loopback_address("::2") &&
            !platform::is_loopback_address("localhost") && !platform::is_loopback_address(""),
        "other addresses and names are not");
  std::string source;
  // Routing alone picks it: nothing is sent.
  check(platform::local_address("127.0.0.1", 9, source) && source == "127.0.0.1",
        "the source towards loopback is loopback");
}

void check_mounts() {
  Scratch dir;
  bool c = false;
  for (const std::string& d : platform::list_drives()) c |= d == "c:\\";
  check(c, "the drives include c:");
  platform::Mount_Info m;
  check(platform::mount_of(dir.path(), m) && !m.mount_point.empty() && !m.type.empty() &&
            !m.source.empty() && dir.path().compare(0, 1, m.mount_point, 0, 1) == 0,
        "the volume of the temp folder is found");
  std::printf("temp folder's volume: %s on %s (%s)\n", m.source.c_str(), m.mount_point.c_str(),
              m.type.c_str());
  check(!platform::mount_of(dir / "none", m), "a missing path has no volume");
  check(!get_filesystem_type(dir.path().c_str()).empty(), "a folder has a file-system type");
  FS_Stat st = {};
  check(get_disk_free_space(dir.path().c_str(), st) && st.total_units > 0,
        "a folder reports free space");
}

// What the host asks of its own process.
void check_process_env() {
  const std::string path = platform::program_path();
  check(path == platform::program_folder() + "\\platform_check.exe",
        "the program's path is its folder and its name");
  check(::GetFileAttributesW(utf8_to_utf16(path).c_str()) != INVALID_FILE_ATTRIBUTES,
        "the program's path exists");
  const std::string value = "d:\\data \xc3\xa9t\xc3\xa9";
  check(platform::set_environment("WAGENT_CHECK", value), "a variable is set");
  wchar_t seen[64] = {0};
  check(::GetEnvironmentVariableW(L"WAGENT_CHECK", seen, 64) > 0 &&
            utf16_to_utf8(seen) == value,
        "the system's environment, which commands inherit, has it");
  // getenv speaks the ANSI code page: only the ASCII part is compared.
  const char* c_seen = std::getenv("WAGENT_CHECK");
  check(c_seen && std::strncmp(c_seen, "d:\\data ", 8) == 0,
        "the C runtime's environment has it");
  check(platform::take_environment("WAGENT_CHECK") == value &&
            ::GetEnvironmentVariableW(L"WAGENT_CHECK", seen, 64) == 0 &&
            platform::take_environment("WAGENT_CHECK").empty(),
        "a taken variable is gone");
  check(platform::descriptor_limit() == 0, "there is no descriptor limit");
  check(!platform::notify_service_manager("/run/notify", "READY=1"),
        "no service manager listens for datagrams");
}

// Last: once held, Ctrl-C no longer reaches this program.
void check_stop_request() {
  check(platform::hold_stop_requests(), "console events are held");
  // Detached: when no event comes, the wait stays behind until the end.
  auto caught = std::make_shared<std::promise<int>>();
  std::future<int> event = caught->get_future();
  std::thread([caught] { caught->set_value(platform::wait_for_stop_request()); }).detach();
  if (!::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0))
    return skip("stop request", "no console to send Ctrl-C to");
  if (event.wait_for(std::chrono::seconds(10)) != std::future_status::ready)
    return skip("stop request", "Ctrl-C sent to the console did not arrive");
  check(event.get() == CTRL_C_EVENT, "Ctrl-C is a stop request");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--sleep") == 0) {
    std::printf("%lu\n", static_cast<unsigned long>(::GetCurrentProcessId()));
    std::fflush(stdout);
    ::Sleep(120000);
    return 0;
  }
  if (argc == 4 && std::strcmp(argv[1], "--probe-handle") == 0)
    return probe_handle(argv[2], argv[3]);
  const std::string wine = wine_version();
  if (!wine.empty()) std::printf("running under wine %s\n", wine.c_str());
  check_volume();
  check_system();
  check_time_conversion();
  check_clock_seam();
  check_files();
  check_file();
  check_process_runner();
  check_directory_reader();
  check_interfaces();
  check_mounts();
  check_process_env();
  check_stop_request();
  std::printf("%s: %d failure(s)\n", failures ? "FAILED" : "passed", failures);
  return failures ? 1 : 0;
}
