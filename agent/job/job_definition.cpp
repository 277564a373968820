#include "agent/job/job_definition.h"

std::string Job_Definition::id() const {
  const std::string* id = json_spirit::object_get_str(members(), "id");
  return id ? *id : std::string();
}

std::string Job_Definition::command() const {
  const std::string* c = json_spirit::object_get_str(members(), "command");
  return c ? *c : std::string();
}

std::int64_t Job_Definition::interval() const {
  const json_spirit::Object* s = json_spirit::object_get_object(members(), "schedule");
  auto i = s ? s->find("interval") : members().end();
  if (!s || i == s->end() || i->second.type() != json_spirit::int_type ||
      i->second.is_uint64())
    return 0;
  return i->second.get_int64() > 0 ? i->second.get_int64() : 0;
}

bool Job_Definition::enabled() const {
  auto e = members().find("enabled");
  return e == members().end() || e->second.type() != json_spirit::bool_type ||
         e->second.get_bool();
}

const Job_Definition_Ptr& Job_Definition_Reader::definition() {
  if (!definition_.get() && builder_.done() &&
      builder_.value().type() == json_spirit::obj_type)
    definition_.reset(new Job_Definition(std::move(builder_.value().get_obj())));
  return definition_;
}

bool Job_Definition_Writer::write(const Job_Definition& definition, YAJL_Printer& printer) {
  YAJL_Gen g(yajl_gen_alloc_printer(&printer, nullptr, false, nullptr));
  if (!g.get()) return false;
  return json_spirit::yajl_gen_value(g, definition.value()) ==
         yajl_gen_status_ok;
}

const char* job_state_to_string(int state, int) {
  switch (state) {
    case 1: return "idle";
    case 3: return "running";
    case 5: return "paused";
    case 10: return "ended";
    default: return "unknown";
  }
}
