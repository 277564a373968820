// The block rule of the buffered printers: what reaches write(), in which
// sizes, and when the HTTP printer ends the body.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/fakes/recording_http_io.h"
#include "websvcs/common/frame/yajl_buffered_printer.h"

namespace {

typedef std::vector<std::size_t> Sizes;

// Bytes that differ from their neighbours, so a misplaced copy shows.
std::string pattern(std::size_t from, std::size_t length) {
  std::string s(length, '\0');
  for (std::size_t i = 0; i < length; ++i)
    s[i] = static_cast<char>('!' + (from + i) * 7 % 89);
  return s;
}

class Recording_Printer : public YAJL_Buffered_Printer_T<4> {
 public:
  void write(const char* data, std::size_t length) override {
    writes.emplace_back(data, length);
  }
  std::vector<std::string> writes;
};

}  // namespace

TEST(HttpPrinter, WritesOnlyWhenAPieceDoesNotFitAndEndsTheBodyLast) {
  const struct {
    Sizes pieces;
    Sizes while_printing;  // data writes before the printer ends
    Sizes at_end;          // data writes its end adds
  } cases[] = {
      {{1000, 1000, 48}, {}, {2048}},
      {{2000, 100}, {2000}, {100}},
      {{5000}, {4096}, {904}},
      {{2048}, {}, {2048}},
      {{}, {}, {}},
      {{100, 5000}, {100, 4096}, {904}},
      {{100, 2048}, {100}, {2048}},
      {{4096}, {4096}, {}},
      {{2048, 1}, {2048}, {1}},
      {Sizes(1000, 16), Sizes(7, 2048), {1664}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.pieces));
    Recording_HTTP_IO io;
    std::string sent;
    Sizes while_printing, all;
    {
      HTTP_IO_YAJL_Printer_T<2048> printer(&io);
      for (std::size_t n : c.pieces) {
        std::string piece = pattern(sent.size(), n);
        printer.print(piece.data(), piece.size());
        sent += piece;
      }
      for (const auto& w : io.writes) while_printing.push_back(w.length);
    }
    EXPECT_EQ(c.while_printing, while_printing);
    ASSERT_FALSE(io.writes.empty());
    for (std::size_t i = 0; i + 1 < io.writes.size(); ++i) {
      EXPECT_FALSE(io.writes[i].last || io.writes[i].null_data);
      all.push_back(io.writes[i].length);
    }
    const auto& end = io.writes.back();
    EXPECT_TRUE(end.null_data && end.length == 0 && end.last);
    Sizes expected = c.while_printing;
    expected.insert(expected.end(), c.at_end.begin(), c.at_end.end());
    EXPECT_EQ(expected, all);
    EXPECT_EQ(sent, io.body());
  }
}

TEST(BufferedPrinter, IgnoresEmptyPiecesAndFlushesHeldBytesOnce) {
  Recording_Printer p;
  p.flush();
  p.print(nullptr, 3);
  p.print("x", 0);
  p.print("abc", 3);
  p.flush();
  p.flush();
  p.print("defgh", 5);  // one whole block; "h" is kept
  p.print("ij", 2);
  p.flush();
  EXPECT_EQ((std::vector<std::string>{"abc", "defg", "hij"}), p.writes);
}
