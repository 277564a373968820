#include "agent/job/job_definition_store.h"

#include <ace/Log_Msg.h>

#include <algorithm>

#include "agent/paths/app_data.h"
#include "agent/platform/directory_reader.h"
#include "agent/platform/files.h"
#include "agent/platform/platform.h"

namespace {

const char SUFFIX[] = ".json";
const std::size_t SUFFIX_LENGTH = sizeof SUFFIX - 1;

}  // namespace

bool Job_Definition_Store::usable_id(const std::string& id) {
  if (id.empty() || id.size() > 200 || id[0] == '.') return false;
  return std::all_of(id.begin(), id.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-';
  });
}

std::string Job_Definition_Store::folder() const {
  return app_data(App_Data::JOBS).path();
}

std::string Job_Definition_Store::path_of(const std::string& id) const {
  return folder() + "/" + id + SUFFIX;
}

Job_Definition_Ptr Job_Definition_Store::read(const std::string& path) {
  std::string text;
  json_spirit::Value v;
  std::string error = "cannot be read";
  if (platform::read_file(path, text) && json_spirit::read(text, v, &error)) {
    if (v.type() == json_spirit::obj_type) {
      Job_Definition_Ptr d(new Job_Definition(std::move(v.get_obj())));
      if (usable_id(d->id())) return d;
    }
    error = "not an object with a usable \"id\"";
  }
  ACE_ERROR((LM_WARNING, "%N:%l: skipped job definition %C: %C\n", path.c_str(), error.c_str()));
  return Job_Definition_Ptr();
}

Job_Definition_Ptr Job_Definition_Store::load(const std::string& id) {
  return read(path_of(id));
}

std::vector<Job_Definition_Ptr> Job_Definition_Store::load_all() {
  const std::string where = folder();
  platform::make_folders(where, 0750);
  std::vector<std::string> names;
  Directory_Reader folder;
  if (folder.open(where.c_str(), true, 0)) {
    for (Directory_Entry_T<char> e; folder.read(e);) {
      const std::string& name = e.name;
      if (name.size() > SUFFIX_LENGTH &&
          name.compare(name.size() - SUFFIX_LENGTH, SUFFIX_LENGTH, SUFFIX) == 0)
        names.push_back(name);
    }
  }
  std::sort(names.begin(), names.end());
  std::vector<Job_Definition_Ptr> definitions;
  for (const std::string& name : names) {
    Job_Definition_Ptr d = read(where + "/" + name);
    if (!d.get()) continue;
    if (name != d->id() + SUFFIX) {
      ACE_ERROR((LM_WARNING, "%N:%l: skipped job definition %C: its id is %C\n",
                 name.c_str(), d->id().c_str()));
      continue;
    }
    definitions.push_back(d);
  }
  return definitions;
}

bool Job_Definition_Store::keep(const Job_Definition& definition) {
  const std::string path = path_of(definition.id());
  if (platform::replace_file(path, json_spirit::JSON_Dump(definition.value(), true) + "\n", 0640))
    return true;
  ACE_ERROR((LM_ERROR, "%N:%l: cannot keep job definition %C, %m\n", path.c_str()));
  return false;
}

void Job_Definition_Store::remove(const std::string& id) { platform::remove_file(path_of(id)); }
