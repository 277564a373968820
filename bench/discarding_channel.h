// A channel that counts what would go on the wire and drops it, so a
// benchmark measures a handler's own work.
#ifndef BENCH_DISCARDING_CHANNEL_H
#define BENCH_DISCARDING_CHANNEL_H

#include <cstdint>

#include "agent/json_rpc/json_rpc_channel.h"

class Discarding_Channel : public JSON_RPC_Channel {
 public:
  std::uint64_t bytes = 0;

 protected:
  bool begin_message() override { return true; }
  bool write_piece(const char*, std::size_t length) override {
    bytes += length;
    return true;
  }
  bool end_message(bool ok) override { return ok; }
};

#endif
