#include "agent/mdrt/yajl_handler.h"

#include <yajl/yajl_parse.h>

#include <cerrno>
#include <cstdint>
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

const std::uint64_t ones = 0x0101010101010101ULL;

// Nonzero when a byte of `word` is `c` (eight bytes tested at once).
inline std::uint64_t has_byte(std::uint64_t word, unsigned char c) {
  const std::uint64_t v = word ^ (ones * c);
  return (v - ones) & ~v & (ones * 0x80);
}

inline std::uint64_t load8(const unsigned char* p) {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

inline int hex_digit(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c |= 0x20;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

const char lone_high[] = "lexical error: lone high surrogate in \\u escape inside string.";
const char lone_low[] = "lexical error: lone low surrogate in \\u escape inside string.";
const char bad_space[] =
    "lexical error: invalid char in json text, form feed and vertical tab are not whitespace.";
const char open_string[] = "parse error: trailing garbage";

}  // namespace

std::size_t JSON_Strict_Scan::fail(std::size_t offset, const char* error) {
  error_ = error;
  return offset;
}

std::size_t JSON_Strict_Scan::scan(const unsigned char* p, std::size_t n) {
  std::size_t i = 0;
  while (i < n) {
    switch (state_) {
      case OUTSIDE:
        while (n - i >= 8) {
          const std::uint64_t w = load8(p + i);
          if (has_byte(w, '"') | has_byte(w, '\v') | has_byte(w, '\f')) break;
          i += 8;
        }
        for (; i < n; ++i) {
          const unsigned char c = p[i];
          if (c == '"') {
            state_ = INSIDE;
            ++i;
            break;
          }
          if (c == '\v' || c == '\f') return fail(i, bad_space);
        }
        break;
      case INSIDE:
        while (n - i >= 8) {
          const std::uint64_t w = load8(p + i);
          if (has_byte(w, '"') | has_byte(w, '\\')) break;
          i += 8;
        }
        for (; i < n; ++i) {
          const unsigned char c = p[i];
          if (c == '"' || c == '\\') {
            state_ = c == '"' ? OUTSIDE : ESCAPE;
            ++i;
            break;
          }
        }
        break;
      case ESCAPE:
        state_ = p[i++] == 'u' ? HEX : INSIDE;
        break;
      case HEX: {
        const int digit = hex_digit(p[i]);
        if (digit < 0) {  // YAJL stops at this very byte
          state_ = UNCHECKED;
          return n;
        }
        unit_ = static_cast<std::uint16_t>(unit_ << 4 | digit);
        if (++digits_ < 4) {
          ++i;
          break;
        }
        const bool high = (unit_ & 0xFC00) == 0xD800, low = (unit_ & 0xFC00) == 0xDC00;
        if (after_high_ ? !low : low) return fail(i, after_high_ ? lone_high : lone_low);
        state_ = high && !after_high_ ? AFTER_HIGH : INSIDE;
        after_high_ = false;
        digits_ = 0;
        unit_ = 0;
        ++i;
        break;
      }
      case AFTER_HIGH:
      case AFTER_HIGH_ESCAPE:
        if (p[i] != (state_ == AFTER_HIGH ? '\\' : 'u')) return fail(i, lone_high);
        if (state_ == AFTER_HIGH_ESCAPE) after_high_ = true;
        state_ = state_ == AFTER_HIGH ? AFTER_HIGH_ESCAPE : HEX;
        ++i;
        break;
      case UNCHECKED:
        return n;
    }
  }
  return n;
}

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
  if (strict_failed_) return false;
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
  const std::size_t good = strict_.scan(bytes, length);
  if (good == length) return check(yajl_parse(handle_, bytes, length), text, length);
  // YAJL still sees what comes before the bad byte, so that a fault or a
  // handler's stop earlier in the text is the one reported.
  if (good > 0 && !check(yajl_parse(handle_, bytes, good), text, good)) return false;
  strict_failed_ = true;
  error_ = strict_.error();
  return false;
}

bool YAJL_Parser::complete() {
  if (!handle_) {
    error_ = "out of memory";
    return false;
  }
  if (strict_failed_) return false;
  if (!check(yajl_complete_parse(handle_), nullptr, 0)) return false;
  // YAJL takes the start of a string after a complete value for a token it
  // has yet to see the end of, and the end of the text as its end.
  if (strict_.outside_string()) return true;
  strict_failed_ = true;
  error_ = open_string;
  return false;
}
