#ifndef WCOMMON_FS_LIST_OPTIONS_H
#define WCOMMON_FS_LIST_OPTIONS_H

#include <ace/Null_Mutex.h>
#include <ace/Singleton.h>

// The listing's one setting: whether a drive letter whose volume cannot be
// read gets a chance to restore its network mapping first. Process-wide;
// its default depends on the account the agent runs under.
class FS_List_Options {
 public:
  // Off for the "system" account, on for a named user (and when the
  // account cannot be read).
  FS_List_Options();

  // -r N / --restore-connection N: on when atoi(N) is not 0. Unknown
  // options are logged and skipped; always 0.
  int init(int argc, char* argv[]);

  // Made on first use, never destroyed at exit on its own; null (errno
  // ENOMEM) when it cannot be made.
  static FS_List_Options* instance();
  // Destroys the instance; the next instance() starts from the default.
  static void close();

  bool restore_connection;
};

#endif
