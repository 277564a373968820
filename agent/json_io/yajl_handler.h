// Event sink for YAJL's streaming parser. A handler gets the events of one
// JSON text in document order; returning 0 from an event stops the parse.
#ifndef JSON_IO_YAJL_HANDLER_H
#define JSON_IO_YAJL_HANDLER_H

#include <cstddef>
#include <cstdint>
#include <string>

struct yajl_handle_t;

class YAJL_Handler {
 public:
  virtual ~YAJL_Handler();

  virtual int handle_null_i();
  virtual int handle_boolean_i(bool value);
  virtual int handle_integer_i(long long value);
  virtual int handle_double_i(double value);
  // Raw number text; the default turns it into handle_integer_i or
  // handle_double_i.
  virtual int handle_number_i(const char* text, unsigned long long length);
  virtual int handle_string_i(const char* text, unsigned long long length);
  virtual int handle_start_map_i();
  virtual int handle_map_key_i(const char* text, unsigned long long length);
  virtual int handle_end_map_i();
  virtual int handle_start_array_i();
  virtual int handle_end_array_i();
};

// What YAJL lets through and JSON does not: a `\u` escape of a lone
// surrogate (YAJL decodes it into `?` or into bytes that are not UTF-8),
// form feed or vertical tab between tokens, and a string left open after a
// complete value. One pass over each piece, the state kept across pieces,
// so a text may be split at any byte.
class JSON_Strict_Scan {
 public:
  // Offset of the first byte that makes the text invalid, or `length`
  // when there is none so far.
  std::size_t scan(const unsigned char* text, std::size_t length);
  // True when the text so far ends outside every string.
  bool outside_string() const { return state_ == OUTSIDE || state_ == UNCHECKED; }
  // What was wrong, YAJL style; empty before a failure.
  const char* error() const { return error_; }

 private:
  enum State : unsigned char {
    OUTSIDE,            // between tokens, or in a number or literal
    INSIDE,             // in a string
    ESCAPE,             // after a backslash
    HEX,                // in the four digits of a \u escape
    AFTER_HIGH,         // after a high surrogate's escape
    AFTER_HIGH_ESCAPE,  // after the backslash that must start its low half
    UNCHECKED,          // YAJL refuses the text at a byte seen already
  };
  std::size_t run(const unsigned char* text, std::size_t at, std::size_t length);
  std::size_t step(const unsigned char* text, std::size_t at, std::size_t length);
  std::size_t fail(std::size_t offset, const char* error);

  State state_ = OUTSIDE;
  unsigned char digits_ = 0;
  bool after_high_ = false;  // the escape being read must be a low surrogate
  bool failed_ = false;
  std::uint16_t unit_ = 0;
  const char* error_ = "";
};

// Drives one YAJL parse into a handler; text may arrive in pieces.
class YAJL_Parser {
 public:
  // `check_utf8` false leaves the check of the bytes of strings to a
  // handler that makes a stricter one itself. The checks of
  // JSON_Strict_Scan hold either way: escapes are decoded by YAJL, so no
  // handler could tell a lone surrogate's `?` from a real one.
  explicit YAJL_Parser(YAJL_Handler& handler, bool check_utf8 = true);
  ~YAJL_Parser();
  YAJL_Parser(const YAJL_Parser&) = delete;
  YAJL_Parser& operator=(const YAJL_Parser&) = delete;

  // False when the text is not JSON or the handler stopped the parse.
  bool feed(const char* text, std::size_t length);
  // Ends the text; false when it is incomplete or invalid.
  bool complete();
  // Bytes of the text fed last that the parser has read; inside a
  // handler, those up to the end of the token being handled.
  std::size_t consumed() const;
  // True when the last failure came from a handler returning 0.
  bool cancelled() const { return cancelled_; }
  // What YAJL found wrong, one line.
  const std::string& error() const { return error_; }

 private:
  bool check(int status, const char* text, std::size_t length);

  // YAJL's own small blocks (its handle, lexer and state stack) are cut
  // from here, so parsing a short text costs no heap allocation; what does
  // not fit goes to the heap.
  struct Arena {
    alignas(16) unsigned char bytes[1024];
    std::size_t used = 0;
  };
  static void* arena_malloc(void* ctx, std::size_t size);
  static void* arena_realloc(void* ctx, void* block, std::size_t size);
  static void arena_free(void* ctx, void* block);

  Arena arena_;
  yajl_handle_t* handle_;
  JSON_Strict_Scan strict_;
  bool strict_failed_ = false;
  bool cancelled_ = false;
  std::string error_;
};

#endif
