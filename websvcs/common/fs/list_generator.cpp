#include "websvcs/common/fs/list_generator.h"

#include <ace/Log_Msg.h>
#include <yajl/yajl_gen.h>

#include <cerrno>
#include <cstdint>

#include "agent/json_io/file_info.h"
#include "agent/platform/utf.h"
#include "agent/json_io/yajl_gen.h"
#include "agent/platform/platform.h"
#include "websvcs/common/fs/list_options.h"

namespace {

const std::size_t LABEL_SIZE = 36;
const std::size_t FS_NAME_SIZE = 64;

void put_u64(yajl_gen g, const char* key, std::uint64_t value) {
  yajl_gen_text(g, key);
  std::string digits = std::to_string(value);
  yajl_gen_number(g, digits.data(), digits.size());
}

}  // namespace

const char* drive_type_name(unsigned type) {
  static const char* const names[] = {"unknown", "no_root_dir", "removable",
                                      "fixed",   "remote",      "cdrom",
                                      "ramdisk"};
  return type < sizeof names / sizeof names[0] ? names[type] : "unknown";
}

JSON_Step_Generator::Step JSON_RPC_FS_List_Generator::generate_step(
    yajl_gen_t* g) {
  if (!started) {
    started = true;
    yajl_gen_map_open(g);
    yajl_gen_text(g, "jsonrpc");
    yajl_gen_text(g, "2.0");
    yajl_gen_text(g, "id");
    json_spirit::yajl_gen_value(g, *id);
    yajl_gen_text(g, "result");
    yajl_gen_array_open(g);
    if (!iterator) write_drives(g);
  }
  if (iterator) {
    Directory_Iterator_T<char> end;
    // A requester gone mid-listing stops the walk of a huge directory.
    for (; *iterator != end && !output_failed(); ++*iterator) {
      if (output_backlogged()) return MORE;
      file_info_to_json(g, **iterator, 0);
    }
  }
  yajl_gen_array_close(g);
  yajl_gen_map_close(g);
  return DONE;
}

void JSON_RPC_FS_List_Generator::write_drives(yajl_gen_t* g) {
  const bool restore = FS_List_Options::instance()->restore_connection;
  for (wchar_t letter = FIRST_DRIVE; letter <= LAST_DRIVE; ++letter)
    write_drive(g, letter, restore);
}

bool write_drive(yajl_gen_t* g, wchar_t letter, bool restore) {
  const wchar_t root[] = {letter, L':', L'\\', 0};
  WCHAR label[LABEL_SIZE] = {0};
  WCHAR fs_name[FS_NAME_SIZE] = {0};
  DWORD serial = 0, max_component = 0, fs_flags = 0;

  BOOL named = GetVolumeInformationW(root, label, LABEL_SIZE, &serial,
                                     &max_component, &fs_flags, fs_name,
                                     FS_NAME_SIZE);
  if (!named && restore) {
    if (!wnet_restore_connection(letter, nullptr)) return false;
    named = GetVolumeInformationW(root, label, LABEL_SIZE, &serial,
                                  &max_component, &fs_flags, fs_name,
                                  FS_NAME_SIZE);
    if (!named) {
      // The text is the system's for its own code (%m would read it as
      // an errno value, which on Windows it is not).
      const DWORD error = GetLastError();
      ACE_DEBUG((LM_WARNING, ACE_TEXT("Failed to get %W volume info, errno=%d, %C\n"), root,
                 static_cast<int>(error), platform::last_error_text(error).c_str()));
    }
  }
  if (!named) label[0] = fs_name[0] = 0;

  UINT type = GetDriveTypeW(root);
  DWORD sectors_per_cluster = 0, bytes_per_sector = 0;
  DWORD free_clusters = 0, total_clusters = 0;
  if (!GetDiskFreeSpaceW(root, &sectors_per_cluster, &bytes_per_sector,
                         &free_clusters, &total_clusters))
    return false;
  const std::uint64_t cluster =
      std::uint64_t(bytes_per_sector) * sectors_per_cluster;

  YAJL_Map_Guard record(g);
  const char drive[] = {static_cast<char>(letter), ':', '\\', 0};
  yajl_gen_text(g, "drive");
  yajl_gen_text(g, drive);
  yajl_gen_text(g, "drive_type");
  yajl_gen_text(g, drive_type_name(type));
  yajl_gen_text(g, "label");
  yajl_gen_text(g, utf16_to_utf8(label, LABEL_SIZE));
  yajl_gen_text(g, "type");
  yajl_gen_text(g, utf16_to_utf8(fs_name, FS_NAME_SIZE));
  put_u64(g, "free", std::uint64_t(free_clusters) * cluster);
  put_u64(g, "total", std::uint64_t(total_clusters) * cluster);
  return true;
}
