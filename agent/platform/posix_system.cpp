// The machine as a whole: its description, its clock and its power.
#include <signal.h>
#include <spawn.h>
#include <sys/reboot.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <ace/Log_Msg.h>

#include <cstdio>
#include <fstream>

#include "agent/platform/calendar.h"
#include "agent/platform/posix_platform.h"

extern char** environ;

namespace {

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

}  // namespace

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

}  // namespace platform

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
  // Without the stop signals the host holds blocked.
  posix_spawnattr_t attributes;
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  const int spawned = ::posix_spawnp(&pid, program, nullptr, &attributes, argv, environ);
  posix_spawnattr_destroy(&attributes);
  if (spawned == 0 &&
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
