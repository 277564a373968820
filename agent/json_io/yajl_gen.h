// Output side of YAJL: an owning generator handle, scope guards that close
// what they open, and the printer interface a generator can print into.
#ifndef JSON_IO_YAJL_GEN_H
#define JSON_IO_YAJL_GEN_H

#include <yajl/yajl_gen.h>

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>

// Owns a yajl_gen handle and frees it when it ends.
class YAJL_Gen {
 public:
  explicit YAJL_Gen(yajl_gen g = nullptr) : g_(g) {}
  ~YAJL_Gen() { reset(); }
  YAJL_Gen(const YAJL_Gen&) = delete;
  YAJL_Gen& operator=(const YAJL_Gen&) = delete;

  yajl_gen get() const { return g_; }
  operator yajl_gen() const { return g_; }
  void reset(yajl_gen g = nullptr) {
    if (g_) yajl_gen_free(g_);
    g_ = g;
  }

 private:
  yajl_gen g_;
};

// Opens a map (array) on construction and closes it when the scope ends,
// also when an exception leaves the scope.
class YAJL_Map_Guard {
 public:
  explicit YAJL_Map_Guard(yajl_gen g) : g_(g) { yajl_gen_map_open(g_); }
  ~YAJL_Map_Guard() { yajl_gen_map_close(g_); }
  YAJL_Map_Guard(const YAJL_Map_Guard&) = delete;
  YAJL_Map_Guard& operator=(const YAJL_Map_Guard&) = delete;

 private:
  yajl_gen g_;
};

class YAJL_Array_Guard {
 public:
  explicit YAJL_Array_Guard(yajl_gen g) : g_(g) { yajl_gen_array_open(g_); }
  ~YAJL_Array_Guard() { yajl_gen_array_close(g_); }
  YAJL_Array_Guard(const YAJL_Array_Guard&) = delete;
  YAJL_Array_Guard& operator=(const YAJL_Array_Guard&) = delete;

 private:
  yajl_gen g_;
};

inline yajl_gen_status yajl_gen_text(yajl_gen g, const char* s) {
  return yajl_gen_string(g, reinterpret_cast<const unsigned char*>(s),
                         std::char_traits<char>::length(s));
}
inline yajl_gen_status yajl_gen_text(yajl_gen g, const std::string& s) {
  return yajl_gen_string(g, reinterpret_cast<const unsigned char*>(s.data()),
                         s.size());
}

// Integers without YAJL's own formatting, which goes through sprintf.
template <class Integer>
inline yajl_gen_status yajl_gen_whole(yajl_gen g, Integer value) {
  char digits[24];
  auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  return yajl_gen_number(g, digits, static_cast<std::size_t>(end - digits));
}

// Writes `text` as it stands where the next value goes: the generator puts
// the separator before it as before any value and passes the bytes on
// untouched (its number call does just that). `text` must be one complete
// JSON value or, inside an array, several separated by commas. For values
// already written out as JSON text, to skip a second pass over them.
inline yajl_gen_status yajl_gen_verbatim(yajl_gen g, const char* text, std::size_t length) {
  return yajl_gen_number(g, text, length);
}

// Appends the JSON string of the `length` bytes at `data`, escaped byte for
// byte as YAJL escapes it, without a generator. False, with `out` partly
// written, when the bytes are not UTF-8.
bool append_json_string(const char* data, std::size_t length, std::string& out);

// Sink of a generator's output. `print` receives every piece the generator
// produces; buffered printers pass full blocks on to `write`.
class YAJL_Printer {
 public:
  virtual ~YAJL_Printer();
  virtual void print(const char* data, std::size_t length) = 0;
  virtual void write(const char* data, std::size_t length) = 0;
};

// A generator whose output goes to `printer`. `indent` null keeps YAJL's
// default indent when `beautify` is on. Null when allocation fails.
yajl_gen yajl_gen_alloc_printer(YAJL_Printer* printer,
                                const yajl_alloc_funcs* funcs, bool beautify,
                                const char* indent);

// Collects a generator's output in a string (tests, small replies).
class YAJL_String_Printer : public YAJL_Printer {
 public:
  void print(const char* data, std::size_t length) override {
    text.append(data, length);
  }
  void write(const char* data, std::size_t length) override {
    text.append(data, length);
  }
  std::string text;
};

#endif
