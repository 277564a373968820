// Event sink for YAJL's streaming parser. A handler gets the events of one
// JSON text in document order; returning 0 from an event stops the parse.
#ifndef MDRT_YAJL_HANDLER_H
#define MDRT_YAJL_HANDLER_H

#include <cstddef>
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

// Drives one YAJL parse into a handler; text may arrive in pieces.
class YAJL_Parser {
 public:
  // `check_utf8` false leaves the check of strings to a handler that
  // makes a stricter one itself.
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
  bool cancelled_ = false;
  std::string error_;
};

#endif
