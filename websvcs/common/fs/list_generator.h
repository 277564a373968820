#ifndef WCOMMON_FS_LIST_GENERATOR_H
#define WCOMMON_FS_LIST_GENERATOR_H

#include "agent/json_spirit/json_spirit.h"
#include "agent/mdrt/json_generator.h"
#include "mdrt/directory_iterator.h"

// Writes the whole fs.list response straight into the channel's generator:
// the entries of a directory one by one as they are read, or, without an
// iterator, the drive list with volume information.
class JSON_RPC_FS_List_Generator : public JSON_Generator {
 public:
  // Both are borrowed and must outlive the send.
  JSON_RPC_FS_List_Generator(const json_spirit::Value* id,
                             Directory_Iterator_T<char>* iterator)
      : id(id), iterator(iterator) {}

  bool generate(yajl_gen_t* g) override;

 private:
  void write_drives(yajl_gen_t* g);

  const json_spirit::Value* id;
  Directory_Iterator_T<char>* iterator;
};

// Name of a drive type as GetDriveTypeW numbers it.
const char* drive_type_name(unsigned type);

#endif
