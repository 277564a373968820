// Arbitrary bytes as a configuration file and as a -s override: a bad one
// must end in Config_Error naming the line, never anything else.
#include <string>

#include "agent/wagent/config.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    wagent::Config config = wagent::parse_config(text, "fuzz.conf");
    // The first line again, as the command line would give it.
    wagent::apply_override(config, text.substr(0, text.find('\n')));
    config.get("listen", "");
    config.where("listen");
  } catch (const wagent::Config_Error&) {
  }
  return 0;
}
