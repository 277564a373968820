#include "websvcs/common/fs/list_options.h"

#include <ace/Get_Opt.h>
#include <ace/Log_Msg.h>
#include <ace/OS_NS_stdlib.h>

#include <cwctype>

#include "agent/platform/win32.h"

namespace {

typedef ACE_Unmanaged_Singleton<FS_List_Options, ACE_Null_Mutex> Singleton;

bool is_system_account(const WCHAR* name) {
  const wchar_t system[] = L"system";
  for (std::size_t i = 0; i < 6; ++i) {
    if (!name[i] || std::towlower(static_cast<wint_t>(name[i])) !=
                        static_cast<wint_t>(system[i]))
      return false;
  }
  return name[6] == 0;
}

}  // namespace

FS_List_Options::FS_List_Options() : restore_connection(true) {
  WCHAR name[UNLEN + 1] = {0};
  DWORD size = UNLEN + 1;
  if (!GetUserNameW(name, &size)) name[0] = 0;
  // The service account has no network mappings worth restoring.
  if (name[0] && is_system_account(name)) restore_connection = false;
}

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

FS_List_Options* FS_List_Options::instance() { return Singleton::instance(); }

void FS_List_Options::close() { Singleton::close(); }
