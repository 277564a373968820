#include "agent/json_rpc/yajl_event_buffer.h"

#include <algorithm>

int YAJL_Event_Buffer::add(Kind kind, const char* t, unsigned long long l) {
  // Room is reserved here, doubling, so that what is charged is what the
  // record holds.
  const std::size_t need = events_.size() + 11 + static_cast<std::size_t>(l);
  if (need > events_.capacity()) {
    const std::size_t grown = std::max(need, 2 * events_.capacity());
    if (budget_ && !budget_->charge(grown - events_.capacity())) return 0;
    events_.reserve(grown);
  }
  events_ += kind;
  if (kind == NUMBER || kind == STRING || kind == MAP_KEY) {
    // The length in 7-bit groups, low first; the high bit marks "more".
    for (unsigned long long n = l;; n >>= 7) {
      events_ += static_cast<char>((n & 0x7F) | (n > 0x7F ? 0x80 : 0));
      if (n <= 0x7F) break;
    }
    events_.append(t, static_cast<std::size_t>(l));
  }
  return 1;
}

int YAJL_Event_Buffer::replay(YAJL_Handler& target) const {
  const char* p = events_.data();
  const char* const end = p + events_.size();
  while (p < end) {
    const Kind kind = static_cast<Kind>(*p++);
    const char* text = nullptr;
    unsigned long long length = 0;
    if (kind == NUMBER || kind == STRING || kind == MAP_KEY) {
      for (unsigned shift = 0;; shift += 7) {
        const unsigned char b = static_cast<unsigned char>(*p++);
        length |= static_cast<unsigned long long>(b & 0x7F) << shift;
        if (!(b & 0x80)) break;
      }
      text = p;
      p += length;
    }
    int r = 1;
    switch (kind) {
      case NULL_EVENT: r = target.handle_null_i(); break;
      case TRUE_EVENT: r = target.handle_boolean_i(true); break;
      case FALSE_EVENT: r = target.handle_boolean_i(false); break;
      case NUMBER: r = target.handle_number_i(text, length); break;
      case STRING: r = target.handle_string_i(text, length); break;
      case START_MAP: r = target.handle_start_map_i(); break;
      case MAP_KEY: r = target.handle_map_key_i(text, length); break;
      case END_MAP: r = target.handle_end_map_i(); break;
      case START_ARRAY: r = target.handle_start_array_i(); break;
      case END_ARRAY: r = target.handle_end_array_i(); break;
    }
    if (!r) return 0;
  }
  return 1;
}
