#ifndef WCOMMON_FS_LIST_OPTIONS_H
#define WCOMMON_FS_LIST_OPTIONS_H

#include <atomic>

#include "agent/platform/service_instance.h"

// The listing's one setting: whether a drive letter whose volume cannot be
// read gets a chance to restore its network mapping first. Reached through
// instance(); its default depends on the account the agent runs under.
class FS_List_Options : public Service_Instance_T<FS_List_Options> {
 public:
  // Off for the "system" account, on for a named user (and when the
  // account cannot be read).
  FS_List_Options();

  // -r N / --restore-connection N: on when atoi(N) is not 0. Unknown
  // options are logged and skipped; always 0.
  int init(int argc, char* argv[]);

  // The process's own options go back to the default, read afresh on their
  // next use (the account may differ by then).
  static void close();

  std::atomic<bool> restore_connection;
};

extern template class Service_Instance_T<FS_List_Options>;

#endif
