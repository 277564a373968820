// Printers that gather a generator's small pieces into blocks of N bytes, so
// a reply streams out in a few large writes instead of one per token, and
// never needs more than N bytes of memory of its own.
#ifndef WCOMMON_FRAME_YAJL_BUFFERED_PRINTER_H
#define WCOMMON_FRAME_YAJL_BUFFERED_PRINTER_H

#include <cstddef>
#include <cstring>

#include "agent/httpd/http_io.h"
#include "agent/json_io/yajl_gen.h"

template <std::size_t N>
class YAJL_Buffered_Printer_T : public YAJL_Printer {
  static_assert(N > 0, "a buffered printer needs room for at least a byte");

 public:
  YAJL_Buffered_Printer_T() : cursor(buffer) {}
  YAJL_Buffered_Printer_T(const YAJL_Buffered_Printer_T&) = delete;
  YAJL_Buffered_Printer_T& operator=(const YAJL_Buffered_Printer_T&) = delete;

  void print(const char* data, std::size_t length) override {
    if (!data || length == 0) return;
    if (length + held() > N) {
      flush();
      if (length > N) {
        // Whole blocks skip the buffer; only the tail is kept back.
        std::size_t whole = length / N * N;
        write(data, whole);
        data += whole;
        length -= whole;
      }
    }
    std::memcpy(cursor, data, length);
    cursor += length;
  }

  // Hands what is buffered to write() in one call.
  void flush() {
    if (cursor == buffer) return;
    std::size_t length = held();
    cursor = buffer;
    write(buffer, length);
  }

 protected:
  std::size_t held() const { return static_cast<std::size_t>(cursor - buffer); }

  char buffer[N];
  char* cursor;  // first free byte of buffer
};

// Streams a generator's output as the body of an HTTP response. The body
// ends when the printer does, so the printer must outlive its generator.
template <std::size_t N>
class HTTP_IO_YAJL_Printer_T : public YAJL_Buffered_Printer_T<N> {
 public:
  // `io` is borrowed and must outlive the printer.
  explicit HTTP_IO_YAJL_Printer_T(HTTP_IO* io) : io(io) {}

  ~HTTP_IO_YAJL_Printer_T() override {
    this->flush();
    io->write_body(nullptr, 0, true);
  }

  void write(const char* data, std::size_t length) override {
    io->write_body(data, length, false);
  }

 protected:
  HTTP_IO* io;
};

#endif
