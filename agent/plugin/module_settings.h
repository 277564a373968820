// Settings of the host's configuration that are meant for the loaded
// modules (`set fs.list.page_ms 500`). The host checks each value when it
// reads its configuration and records it here before it loads a module; a
// module reads it while it serves.
#ifndef PLUGIN_MODULE_SETTINGS_H
#define PLUGIN_MODULE_SETTINGS_H

#include <string>

namespace plugin {

void set_module_setting(const std::string& key, const std::string& value);
// The value of `key`, or `fallback` when the host set none.
std::string module_setting(const std::string& key, const std::string& fallback);
// A positive whole number set for `key`, else `fallback`.
unsigned long module_setting_number(const std::string& key, unsigned long fallback);
void clear_module_settings();

}  // namespace plugin

#endif
