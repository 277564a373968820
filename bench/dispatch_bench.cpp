// Messages per second and MB/s of JSON-RPC text through the dispatcher
// alone (parse, checks, delivery to a handler that keeps nothing), for a
// small request and for params of long strings, ASCII and not. Rates are
// per second of this process's CPU time: the work is single-threaded, and
// other load on the machine then does not count.
//
//   dispatch_bench [--seconds S]
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "agent/json_rpc/json_rpc_dispatcher.h"

namespace {

class Null_Channel : public JSON_RPC_Channel {
 protected:
  bool begin_message() override { return true; }
  bool write_piece(const char*, std::size_t) override { return true; }
  bool end_message(bool) override { return true; }
};

class Null_Handler : public JSON_RPC_Handler {
 public:
  int handle_object(JSON_RPC_Channel_WPtr, JSON_RPC_Object_Ptr) override {
    return 0;
  }
};

std::string strings_message(const std::string& item, std::size_t bytes) {
  std::string text = R"({"jsonrpc":"2.0","id":7,"method":"m","params":[)";
  while (text.size() < bytes) text += "\"" + item + "\",";
  text.back() = ']';
  return text + "}";
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = argc == 3 ? std::atof(argv[2]) : 2;
  JSON_RPC_Dispatcher dispatcher;
  Null_Handler handler;
  dispatcher.bind("m", &handler);
  JSON_RPC_Channel_Ptr channel(new Null_Channel);

  std::string accented;
  for (int i = 0; i < 32; ++i) accented += "\xC3\xA9t\xC3\xA9";  // "été"
  const struct {
    const char* name;
    std::string text;
  } cases[] = {
      {"small request", R"({"jsonrpc":"2.0","id":1,"method":"m","params":{"path":"/var/log"}})"},
      {"1 MB ASCII strings", strings_message(std::string(96, 'a'), 1 << 20)},
      {"1 MB UTF-8 strings", strings_message(accented, 1 << 20)},
  };
  std::printf("%-20s %14s %10s\n", "message", "messages/s", "MB/s");
  for (const auto& c : cases) {
    const std::clock_t began = std::clock();
    const std::clock_t end = began + static_cast<std::clock_t>(seconds * CLOCKS_PER_SEC);
    unsigned long n = 0;
    while (std::clock() < end) {
      dispatcher.dispatch(channel, c.text.data(), c.text.size());
      ++n;
    }
    const double took = double(std::clock() - began) / CLOCKS_PER_SEC;
    std::printf("%-20s %14.0f %10.1f\n", c.name, n / took,
                n * c.text.size() / took / 1e6);
  }
  return 0;
}
