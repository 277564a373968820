// The block rule of the buffered printer the HTTP printer is made of: what
// reaches the body, in which sizes, and when the body ends. YAJL never
// prints a null or empty piece.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/fakes/recording_http_io.h"
#include "websvcs/common/frame/yajl_buffered_printer.h"

typedef std::vector<std::size_t> Sizes;

TEST(HttpPrinter, WritesOnlyWhenAPieceDoesNotFitAndEndsTheBodyLast) {
  const struct {
    Sizes pieces;
    Sizes while_printing;  // data writes before the printer ends
    Sizes at_end;          // data writes its end adds
  } cases[] = {
      {{1000, 1000, 48}, {}, {2048}},    {{2000, 100}, {2000}, {100}},
      {{5000}, {4096}, {904}},           {{}, {}, {}},
      {{100, 5000}, {100, 4096}, {904}}, {{100, 2048}, {100}, {2048}},
      {{4096}, {4096}, {}},              {Sizes(1000, 16), Sizes(7, 2048), {1664}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.pieces));
    Recording_HTTP_IO io;
    std::string sent;
    Sizes sizes;
    {
      HTTP_IO_YAJL_Printer_T<2048> printer(&io);
      for (std::size_t n : c.pieces) {
        // Bytes that differ from their neighbours, so a misplaced copy shows.
        std::string piece;
        while (piece.size() < n) piece += static_cast<char>('!' + (sent.size() + piece.size()) % 89);
        printer.print(piece.data(), piece.size());
        sent += piece;
      }
      for (const auto& w : io.writes) sizes.push_back(w.length);
      EXPECT_EQ(c.while_printing, sizes);
    }
    sizes.insert(sizes.end(), c.at_end.begin(), c.at_end.end());
    sizes.push_back(0);
    Sizes all;
    for (const auto& w : io.writes) all.push_back(w.length);
    EXPECT_EQ(sizes, all);
    EXPECT_TRUE(io.writes.back().null_data && io.writes.back().last);
    EXPECT_EQ(1, std::count_if(io.writes.begin(), io.writes.end(), [](auto& w) { return w.last; }));
    EXPECT_EQ(sent, io.body());
  }
}
