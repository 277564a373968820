#ifndef WCOMMON_FS_LIST_GENERATOR_H
#define WCOMMON_FS_LIST_GENERATOR_H

#include <memory>

#include "agent/json_spirit/json_spirit.h"
#include "agent/json_io/json_generator.h"
#include "mdrt/directory_iterator.h"

// Writes the whole fs.list response straight into the channel's generator:
// the entries of a directory one by one as they are read, or, without an
// iterator, the drive list with volume information. A step ends when the
// requester's transport holds enough; the next goes on with the next entry.
class JSON_RPC_FS_List_Generator : public JSON_Step_Generator {
 public:
  // Both are borrowed and must outlive the send.
  JSON_RPC_FS_List_Generator(const json_spirit::Value* id,
                             Directory_Iterator_T<char>* iterator)
      : id(id), iterator(iterator) {}
  // Takes both over, for a send that may outlive the handler's call.
  JSON_RPC_FS_List_Generator(const json_spirit::Value& id,
                             std::unique_ptr<Directory_Iterator_T<char>> iterator)
      : own_id(id), own_iterator(std::move(iterator)), id(&own_id),
        iterator(own_iterator.get()) {}

  Step generate_step(yajl_gen_t* g) override;

 private:
  void write_drives(yajl_gen_t* g);

  json_spirit::Value own_id;
  std::unique_ptr<Directory_Iterator_T<char>> own_iterator;
  const json_spirit::Value* id;
  Directory_Iterator_T<char>* iterator;
  bool started = false;
};

// The letters the drive list examines: a: and b: are floppy letters, and
// touching them can stall for seconds.
const wchar_t FIRST_DRIVE = L'c';
const wchar_t LAST_DRIVE = L'z';

// Writes the record of drive `letter`; false when it has none (no volume,
// or its mapping could not be restored when `restore` asks for that).
bool write_drive(yajl_gen_t* g, wchar_t letter, bool restore);

// Name of a drive type as GetDriveTypeW numbers it.
const char* drive_type_name(unsigned type);

#endif
