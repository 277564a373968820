// Where the agent keeps its state below $APPDATA, in one table: every file
// or folder the agent reads or writes there is named through it.
#ifndef AGENT_PATHS_APP_DATA_H
#define AGENT_PATHS_APP_DATA_H

#include "agent/paths/path_conf.h"

enum class App_Data {
  CHOST,            // host identity, keys, the local session key
  DB,               // the SQLite databases, one file each
  JOBS,             // job definitions, one file per job
  QUEUES,           // spooled queue blocks
  AUDIT,            // the audit trail
  STORAGE_CATALOG,  // the storage pools file
  LOG,              // the component's logs
  DOWNLOADS,        // files fetched for system.execute
  WINAGENT,         // the older agent's folder, gathered for log uploads
};

// The location as a template over $APPDATA and $COMPONENT.
const char* app_data_template(App_Data where);

// The native path of `where`, or of `file` in it; with `create`, the folder
// (and its parents) is made when missing. ok() is false when a name is not
// set or the folder could not be made.
Path_Conf app_data(App_Data where, const char* file = nullptr, bool create = false);

#endif
