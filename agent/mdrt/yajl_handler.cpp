#include "agent/mdrt/yajl_handler.h"

#include <yajl/yajl_parse.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

YAJL_Handler::~YAJL_Handler() {}

int YAJL_Handler::handle_null_i() { return 1; }
int YAJL_Handler::handle_boolean_i(bool) { return 1; }
int YAJL_Handler::handle_integer_i(long long) { return 1; }
int YAJL_Handler::handle_double_i(double) { return 1; }
int YAJL_Handler::handle_string_i(const char*, unsigned long long) { return 1; }
int YAJL_Handler::handle_start_map_i() { return 1; }
int YAJL_Handler::handle_map_key_i(const char*, unsigned long long) { return 1; }
int YAJL_Handler::handle_end_map_i() { return 1; }
int YAJL_Handler::handle_start_array_i() { return 1; }
int YAJL_Handler::handle_end_array_i() { return 1; }

int YAJL_Handler::handle_number_i(const char* text, unsigned long long length) {
  std::string s(text, static_cast<std::size_t>(length));
  if (s.find_first_of(".eE") == std::string::npos) {
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(s.c_str(), &end, 10);
    if (errno == 0 && end && *end == '\0') return handle_integer_i(v);
  }
  return handle_double_i(std::strtod(s.c_str(), nullptr));
}

namespace {

YAJL_Handler* H(void* ctx) { return static_cast<YAJL_Handler*>(ctx); }

int on_null(void* ctx) { return H(ctx)->handle_null_i(); }
int on_boolean(void* ctx, int b) { return H(ctx)->handle_boolean_i(b != 0); }
int on_number(void* ctx, const char* s, size_t l) {
  return H(ctx)->handle_number_i(s, l);
}
int on_string(void* ctx, const unsigned char* s, size_t l) {
  return H(ctx)->handle_string_i(reinterpret_cast<const char*>(s), l);
}
int on_start_map(void* ctx) { return H(ctx)->handle_start_map_i(); }
int on_map_key(void* ctx, const unsigned char* s, size_t l) {
  return H(ctx)->handle_map_key_i(reinterpret_cast<const char*>(s), l);
}
int on_end_map(void* ctx) { return H(ctx)->handle_end_map_i(); }
int on_start_array(void* ctx) { return H(ctx)->handle_start_array_i(); }
int on_end_array(void* ctx) { return H(ctx)->handle_end_array_i(); }

// Numbers arrive as raw text so that 64-bit values survive intact.
const yajl_callbacks callbacks = {on_null,      on_boolean,    nullptr,
                                  nullptr,      on_number,     on_string,
                                  on_start_map, on_map_key,    on_end_map,
                                  on_start_array, on_end_array};

}  // namespace

namespace {
// Each arena block starts with a header holding its size.
const std::size_t header = 16;
std::size_t footprint(std::size_t size) { return header + ((size + 15) & ~std::size_t(15)); }
}  // namespace

void* YAJL_Parser::arena_malloc(void* ctx, std::size_t size) {
  Arena& a = *static_cast<Arena*>(ctx);
  if (footprint(size) > sizeof a.bytes - a.used) return std::malloc(size);
  unsigned char* block = a.bytes + a.used;
  std::memcpy(block, &size, sizeof size);
  a.used += footprint(size);
  return block + header;
}

void YAJL_Parser::arena_free(void* ctx, void* p) {
  Arena& a = *static_cast<Arena*>(ctx);
  unsigned char* block = static_cast<unsigned char*>(p);
  if (block < a.bytes || block >= a.bytes + sizeof a.bytes) return std::free(p);
  std::size_t size;
  std::memcpy(&size, block - header, sizeof size);
  // Only the last block can be given back; the arena dies with the parser.
  if (block - header + footprint(size) == a.bytes + a.used)
    a.used = static_cast<std::size_t>(block - header - a.bytes);
}

void* YAJL_Parser::arena_realloc(void* ctx, void* p, std::size_t size) {
  if (!p) return arena_malloc(ctx, size);
  Arena& a = *static_cast<Arena*>(ctx);
  unsigned char* block = static_cast<unsigned char*>(p);
  if (block < a.bytes || block >= a.bytes + sizeof a.bytes) return std::realloc(p, size);
  std::size_t old;
  std::memcpy(&old, block - header, sizeof old);
  if (size <= old) return p;
  const std::size_t offset = static_cast<std::size_t>(block - header - a.bytes);
  if (offset + footprint(old) == a.used && offset + footprint(size) <= sizeof a.bytes) {
    std::memcpy(block - header, &size, sizeof size);
    a.used = offset + footprint(size);
    return p;
  }
  void* moved = arena_malloc(ctx, size);
  if (!moved) return nullptr;
  std::memcpy(moved, p, old);
  arena_free(ctx, p);
  return moved;
}

YAJL_Parser::YAJL_Parser(YAJL_Handler& handler, bool check_utf8) {
  yajl_alloc_funcs funcs = {arena_malloc, arena_realloc, arena_free, &arena_};
  handle_ = yajl_alloc(&callbacks, &funcs, &handler);
  if (handle_) yajl_config(handle_, yajl_dont_validate_strings, !check_utf8);
}

YAJL_Parser::~YAJL_Parser() {
  if (handle_) yajl_free(handle_);
}

bool YAJL_Parser::check(int status, const char* text, std::size_t length) {
  if (status == yajl_status_ok) return true;
  cancelled_ = status == yajl_status_client_canceled;
  if (cancelled_) {
    error_ = "parse stopped by handler";
    return false;
  }
  unsigned char* msg = yajl_get_error(
      handle_, 0, reinterpret_cast<const unsigned char*>(text), length);
  error_ = msg ? reinterpret_cast<const char*>(msg) : "invalid JSON";
  if (msg) yajl_free_error(handle_, msg);
  while (!error_.empty() && (error_.back() == '\n' || error_.back() == ' '))
    error_.pop_back();
  return false;
}

bool YAJL_Parser::feed(const char* text, std::size_t length) {
  if (!handle_) {
    error_ = "out of memory";
    return false;
  }
  int status = yajl_parse(
      handle_, reinterpret_cast<const unsigned char*>(text), length);
  return check(status, text, length);
}

std::size_t YAJL_Parser::consumed() const {
  return handle_ ? yajl_get_bytes_consumed(handle_) : 0;
}

bool YAJL_Parser::complete() {
  if (!handle_) {
    error_ = "out of memory";
    return false;
  }
  return check(yajl_complete_parse(handle_), nullptr, 0);
}
