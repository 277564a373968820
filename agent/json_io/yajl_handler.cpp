#include "agent/json_io/yajl_handler.h"

#include <yajl/yajl_parse.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Offset of the first byte of p[i, n) that is `a`, `b` or `c`; n when none.
// Runs of plain bytes are what most texts are made of, so they are crossed
// sixteen (or eight) bytes at a time.
#if defined(__SSE2__)
inline std::size_t find_any(const unsigned char* p, std::size_t i, std::size_t n,
                            char a, char b, char c) {
  const __m128i va = _mm_set1_epi8(a), vb = _mm_set1_epi8(b), vc = _mm_set1_epi8(c);
  for (; n - i >= 16; i += 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    const int hits = _mm_movemask_epi8(_mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(x, va), _mm_cmpeq_epi8(x, vb)), _mm_cmpeq_epi8(x, vc)));
    if (hits) return i + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(hits)));
  }
  for (; i < n; ++i)
    if (p[i] == a || p[i] == b || p[i] == c) return i;
  return n;
}
#else
const std::uint64_t ones = 0x0101010101010101ULL;

// Nonzero when a byte of `word` is `c`.
inline std::uint64_t has_byte(std::uint64_t word, unsigned char c) {
  const std::uint64_t v = word ^ (ones * c);
  return (v - ones) & ~v & (ones * 0x80);
}

inline std::size_t find_any(const unsigned char* p, std::size_t i, std::size_t n,
                            char a, char b, char c) {
  for (; n - i >= 8; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, p + i, sizeof w);
    if (has_byte(w, a) | has_byte(w, b) | has_byte(w, c)) break;
  }
  for (; i < n; ++i)
    if (p[i] == a || p[i] == b || p[i] == c) return i;
  return n;
}
#endif

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

// The code unit of four hex digits, -1 when one is not a hex digit.
inline int hex_unit(const unsigned char* p) {
  const int a = hex_digit(p[0]), b = hex_digit(p[1]), c = hex_digit(p[2]), d = hex_digit(p[3]);
  return (a | b | c | d) < 0 ? -1 : a << 12 | b << 8 | c << 4 | d;
}

inline bool is_high(int unit) { return (unit & 0xFC00) == 0xD800; }
inline bool is_low(int unit) { return (unit & 0xFC00) == 0xDC00; }

}  // namespace

std::size_t JSON_Strict_Scan::fail(std::size_t offset, const char* error) {
  error_ = error;
  failed_ = true;
  return offset;
}

std::size_t JSON_Strict_Scan::scan(const unsigned char* p, std::size_t n) {
  std::size_t i = 0;
  while (i < n && !failed_) i = state_ == OUTSIDE || state_ == INSIDE ? run(p, i, n) : step(p, i, n);
  return i;
}

// Between tokens and in strings, with whole escapes: the bulk of a text,
// and the only part that must be fast. Leaves to step() an escape cut by
// the end of the piece.
std::size_t JSON_Strict_Scan::run(const unsigned char* p, std::size_t i, std::size_t n) {
  for (;;) {
    if (state_ == OUTSIDE) {
      i = find_any(p, i, n, '"', '\v', '\f');
      if (i == n) return n;
      if (p[i] != '"') return fail(i, bad_space);
      ++i;
      state_ = INSIDE;
    }
    for (;;) {
      i = find_any(p, i, n, '"', '\\', '"');
      if (i == n) return n;
      if (p[i] == '"') break;
      const std::size_t left = n - i;
      if (left < 2 || (p[i + 1] == 'u' && left < 12)) {
        state_ = ESCAPE;
        return i + 1;
      }
      if (p[i + 1] != 'u') {
        i += 2;
        continue;
      }
      const int unit = hex_unit(p + i + 2);
      if (unit < 0) {  // YAJL stops at this escape
        state_ = UNCHECKED;
        return n;
      }
      if (is_low(unit)) return fail(i + 5, lone_low);
      if (!is_high(unit)) {
        i += 6;
        continue;
      }
      if (p[i + 6] != '\\') return fail(i + 6, lone_high);
      if (p[i + 7] != 'u') return fail(i + 7, lone_high);
      const int second = hex_unit(p + i + 8);
      if (second < 0) {
        state_ = UNCHECKED;
        return n;
      }
      if (!is_low(second)) return fail(i + 11, lone_high);
      i += 12;
    }
    ++i;
    state_ = OUTSIDE;
  }
}

// One byte of an escape that pieces cut, as YAJL would read it.
std::size_t JSON_Strict_Scan::step(const unsigned char* p, std::size_t i, std::size_t n) {
  switch (state_) {
    case ESCAPE:
      state_ = p[i++] == 'u' ? HEX : INSIDE;
      return i;
    case HEX: {
      for (; digits_ < 4 && i < n; ++digits_, ++i) {
        const int digit = hex_digit(p[i]);
        if (digit < 0) {  // YAJL stops at this very byte
          state_ = UNCHECKED;
          return n;
        }
        unit_ = static_cast<std::uint16_t>(unit_ << 4 | digit);
      }
      if (digits_ < 4) return n;
      if (after_high_ ? !is_low(unit_) : is_low(unit_))
        return fail(i - 1, after_high_ ? lone_high : lone_low);
      state_ = is_high(unit_) && !after_high_ ? AFTER_HIGH : INSIDE;
      after_high_ = false;
      digits_ = 0;
      unit_ = 0;
      return i;
    }
    case AFTER_HIGH:
    case AFTER_HIGH_ESCAPE:
      if (p[i] != (state_ == AFTER_HIGH ? '\\' : 'u')) return fail(i, lone_high);
      if (state_ == AFTER_HIGH_ESCAPE) after_high_ = true;
      state_ = state_ == AFTER_HIGH ? AFTER_HIGH_ESCAPE : HEX;
      return i + 1;
    case OUTSIDE:
    case INSIDE:
    case UNCHECKED:
      break;
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

std::size_t YAJL_Parser::consumed() const {
  return handle_ ? yajl_get_bytes_consumed(handle_) : 0;
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
