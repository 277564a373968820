// Directory readers kept open for a few seconds between the pages of a
// listing: the next page goes on where the last one stopped, with its
// read-ahead still running, instead of opening the directory and seeking
// again. A reader is taken back only by the key it was parked under (a
// page's sealed cursor), and one not taken within the linger is closed, so
// a listing nobody finishes holds its directory open no longer than that.
#ifndef PLATFORM_READER_PARKING_H
#define PLATFORM_READER_PARKING_H

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "agent/platform/directory_reader.h"

namespace platform {

// How long a parked reader waits to be taken, and how many wait at once
// (the oldest is closed to make room).
constexpr std::chrono::seconds reader_park_linger{5};
constexpr std::size_t reader_park_capacity = 8;

struct Parked_Reader {
  std::unique_ptr<Directory_Reader> reader;  // null: nothing was parked
  Directory_Entry_T<char> next;               // read already, not yet listed
  bool has_next = false;
};

// Keeps `parked` under `key`; when it cannot be kept it is closed.
void park_reader(const std::string& key, Parked_Reader&& parked);

// The reader parked under `key`, taken out: it is the caller's now. An
// empty one when there is none, or it outlived its linger.
Parked_Reader take_parked_reader(const std::string& key);

// Readers parked now (for tests).
std::size_t parked_readers();

}  // namespace platform

#endif
