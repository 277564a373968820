#include "agent/json_rpc/yajl_event_buffer.h"

int YAJL_Event_Buffer::replay(YAJL_Handler& target) const {
  for (const Event& e : events_) {
    int r = 1;
    switch (e.kind) {
      case NULL_EVENT: r = target.handle_null_i(); break;
      case TRUE_EVENT: r = target.handle_boolean_i(true); break;
      case FALSE_EVENT: r = target.handle_boolean_i(false); break;
      case NUMBER: r = target.handle_number_i(e.text.data(), e.text.size()); break;
      case STRING: r = target.handle_string_i(e.text.data(), e.text.size()); break;
      case START_MAP: r = target.handle_start_map_i(); break;
      case MAP_KEY: r = target.handle_map_key_i(e.text.data(), e.text.size()); break;
      case END_MAP: r = target.handle_end_map_i(); break;
      case START_ARRAY: r = target.handle_start_array_i(); break;
      case END_ARRAY: r = target.handle_end_array_i(); break;
    }
    if (!r) return 0;
  }
  return 1;
}
