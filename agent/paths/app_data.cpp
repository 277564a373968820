#include "agent/paths/app_data.h"

namespace {

const struct {
  App_Data where;
  const char* path_template;
} table[] = {
    {App_Data::CHOST, "$APPDATA\\chost"},
    {App_Data::DB, "$APPDATA\\db"},
    {App_Data::JOBS, "$APPDATA\\jobs"},
    {App_Data::QUEUES, "$APPDATA\\queues"},
    {App_Data::AUDIT, "$APPDATA\\audit"},
    {App_Data::STORAGE_CATALOG, "$APPDATA\\storage_catalog"},
    {App_Data::LOG, "$APPDATA\\quillon\\veltrano\\$COMPONENT\\log"},
    {App_Data::DOWNLOADS, "$APPDATA\\quillon\\veltrano\\$COMPONENT\\downloads"},
    {App_Data::WINAGENT, "$APPDATA\\veltran-winagent"},
};

// Folders the agent makes are its own and its group's only.
const int FOLDER_MODE = 0750;

}  // namespace

const char* app_data_template(App_Data where) {
  for (const auto& entry : table)
    if (entry.where == where) return entry.path_template;
  return "";
}

Path_Conf app_data(App_Data where, const char* file, bool create) {
  return Path_Conf(app_data_template(where), create, file, FOLDER_MODE);
}
