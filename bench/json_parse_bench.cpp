// The cost of YAJL_Parser's own checks (JSON_Strict_Scan) on 100 KiB
// texts: YAJL driven directly into the same null handler, YAJL_Parser,
// and the scan alone, with YAJL's UTF-8 check on and off. Rates are the
// best of several rounds of this process's CPU time, so that other load
// on the machine counts little.
//
//   json_parse_bench [--seconds S]   (S per text and way, default 1)
#include <yajl/yajl_parse.h>

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "agent/json_io/yajl_handler.h"

namespace {

double cpu_seconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

// YAJL as YAJL_Parser drives it, less the checks: the same events reach a
// YAJL_Handler through its virtual functions.
YAJL_Handler* H(void* ctx) { return static_cast<YAJL_Handler*>(ctx); }
int on_null(void* c) { return H(c)->handle_null_i(); }
int on_boolean(void* c, int b) { return H(c)->handle_boolean_i(b != 0); }
int on_number(void* c, const char* s, size_t l) { return H(c)->handle_number_i(s, l); }
int on_string(void* c, const unsigned char* s, size_t l) {
  return H(c)->handle_string_i(reinterpret_cast<const char*>(s), l);
}
int on_start_map(void* c) { return H(c)->handle_start_map_i(); }
int on_map_key(void* c, const unsigned char* s, size_t l) {
  return H(c)->handle_map_key_i(reinterpret_cast<const char*>(s), l);
}
int on_end_map(void* c) { return H(c)->handle_end_map_i(); }
int on_start_array(void* c) { return H(c)->handle_start_array_i(); }
int on_end_array(void* c) { return H(c)->handle_end_array_i(); }
const yajl_callbacks callbacks = {on_null,      on_boolean, nullptr,    nullptr,
                                  on_number,    on_string,  on_start_map, on_map_key,
                                  on_end_map, on_start_array, on_end_array};

// Numbers stay text: what is measured is the parse, not strtod.
struct Null_Handler : YAJL_Handler {
  int handle_number_i(const char*, unsigned long long) override { return 1; }
};

bool plain_yajl(const std::string& text, bool check_utf8) {
  Null_Handler h;
  yajl_handle y = yajl_alloc(&callbacks, nullptr, &h);
  yajl_config(y, yajl_dont_validate_strings, !check_utf8);
  const bool ok =
      yajl_parse(y, reinterpret_cast<const unsigned char*>(text.data()), text.size()) ==
          yajl_status_ok &&
      yajl_complete_parse(y) == yajl_status_ok;
  yajl_free(y);
  return ok;
}

bool checked(const std::string& text, bool check_utf8) {
  Null_Handler h;
  YAJL_Parser p(h, check_utf8);
  return p.feed(text.data(), text.size()) && p.complete();
}

bool scan_only(const std::string& text, bool) {
  JSON_Strict_Scan scan;
  return scan.scan(reinterpret_cast<const unsigned char*>(text.data()), text.size()) ==
             text.size() &&
         scan.outside_string();
}

// Bytes per second of CPU time, best of the rounds.
double rate(bool (*parse)(const std::string&, bool), const std::string& text,
            bool check_utf8, double seconds) {
  if (!parse(text, check_utf8)) {
    std::fprintf(stderr, "json_parse_bench: a text was refused\n");
    std::exit(1);
  }
  double best = 0;
  const int rounds = 5;
  for (int r = 0; r < rounds; ++r) {
    const double began = cpu_seconds();
    double now = began;
    unsigned long n = 0;
    while ((now = cpu_seconds()) - began < seconds / rounds) {
      for (int i = 0; i < 8; ++i) parse(text, check_utf8);
      n += 8;
    }
    best = std::max(best, n * text.size() / (now - began));
  }
  return best;
}

std::string fill(const std::string& head, const std::string& item, const std::string& tail) {
  std::string text = head;
  while (text.size() + item.size() + tail.size() < 100 * 1024) text += item + ",";
  text.back() = tail[0];
  return text + tail.substr(1);
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc == 3 && std::strcmp(argv[1], "--seconds") == 0
                             ? std::atof(argv[2])
                             : 1;
  std::string accented;
  for (int i = 0; i < 16; ++i) accented += "\xC3\xA9t\xC3\xA9";
  const struct {
    const char* name;
    std::string text;
  } cases[] = {
      {"ASCII strings", fill("[", "\"" + std::string(96, 'a') + "\"", "]")},
      {"UTF-8 strings", fill("[", "\"" + accented + "\"", "]")},
      {"escapes and pairs", fill("[", R"("a\n\"b\\c\u00e9\ud83d\ude00 \t")", "]")},
      {"objects", fill("[", R"({"id":"n1","size":12345,"ok":true,"tags":["a","b"]})", "]")},
      {"numbers", fill("[", "12345.678", "]")},
  };
  std::printf("100 KiB texts; MB/s of CPU time, best of 5 rounds\n");
  std::printf("%-18s %5s %10s %10s %10s %8s\n", "text", "utf8", "yajl", "parser", "scan",
              "ratio");
  for (const auto& c : cases)
    for (bool check_utf8 : {true, false}) {
      const double plain = rate(plain_yajl, c.text, check_utf8, seconds);
      const double parser = rate(checked, c.text, check_utf8, seconds);
      const double scan = rate(scan_only, c.text, check_utf8, seconds);
      std::printf("%-18s %5s %10.1f %10.1f %10.1f %8.3f\n", c.name, check_utf8 ? "on" : "off",
                  plain / 1e6, parser / 1e6, scan / 1e6, plain / parser);
    }
  std::printf("ratio: time of YAJL_Parser over time of YAJL alone\n");
  return 0;
}
