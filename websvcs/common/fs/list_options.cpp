#include "websvcs/common/fs/list_options.h"

#include <ace/Get_Opt.h>
#include <ace/Log_Msg.h>
#include <ace/OS_NS_stdlib.h>

#include <cwctype>
#include <mutex>

#include "agent/platform/win32.h"

namespace {

bool is_system_account(const WCHAR* name) {
  const wchar_t system[] = L"system";
  for (std::size_t i = 0; i < 6; ++i) {
    if (!name[i] || std::towlower(static_cast<wint_t>(name[i])) !=
                        static_cast<wint_t>(system[i]))
      return false;
  }
  return name[6] == 0;
}

bool restore_by_default() {
  WCHAR name[UNLEN + 1] = {0};
  DWORD size = UNLEN + 1;
  if (!GetUserNameW(name, &size)) name[0] = 0;
  // The service account has no network mappings worth restoring.
  return !(name[0] && is_system_account(name));
}

// Whether the process's own options were closed since their last use.
std::mutex process_lock;
bool stale = false;

}  // namespace

// The process's own options are a static of the module, not a leak of it:
// a host may unload the module at exit.
template <>
FS_List_Options* default_service<FS_List_Options>() {
  std::lock_guard<std::mutex> guard(process_lock);
  static bool made = false;
  static FS_List_Options options;  // reads the account when made
  if (stale && made) options.restore_connection = restore_by_default();
  made = true;
  stale = false;
  return &options;
}
template class Service_Instance_T<FS_List_Options>;

FS_List_Options::FS_List_Options() : restore_connection(restore_by_default()) {}

int FS_List_Options::init(int argc, char* argv[]) {
  if (argc > 0 && argv) {
    ACE_Get_Opt opt(argc, argv, ACE_TEXT("r:"), 0, 0,
                    ACE_Get_Opt::PERMUTE_ARGS);
    opt.long_option(ACE_TEXT("restore-connection"), 'r',
                    ACE_Get_Opt::ARG_REQUIRED);
    int c;
    while ((c = opt()) != EOF) {
      if (c == 'r') {
        restore_connection = ACE_OS::atoi(opt.opt_arg()) != 0;
      } else {
        ACE_DEBUG((LM_DEBUG, ACE_TEXT("Unknown FS_List_Options %c\n"), c));
      }
    }
  }
  if (restore_connection)
    ACE_DEBUG((LM_DEBUG,
               ACE_TEXT("Enabled to restore Windows connections for drives.\n")));
  return 0;
}

void FS_List_Options::close() {
  std::lock_guard<std::mutex> guard(process_lock);
  stale = true;
}
