// An HTTP exchange that keeps what a handler does with it: every write_body
// call as made, the status of each error answer, and the response head as
// it stood when the first body bytes went out.
#ifndef TESTS_FAKES_RECORDING_HTTP_IO_H
#define TESTS_FAKES_RECORDING_HTTP_IO_H

#include <cstddef>
#include <string>
#include <vector>

#include "agent/httpd/http_io.h"

class Recording_HTTP_IO : public HTTP_IO {
 public:
  struct Write {
    bool null_data;      // data was a null pointer
    std::string data;    // the bytes, when there were any
    std::size_t length;  // as passed
    bool last;
  };

  HTTP_Request& request() override { return request_; }
  HTTP_Response& response() override { return response_; }

  int write_body(const char* data, std::size_t length, bool last) override {
    if (writes.empty()) head_at_first_write = response_;
    writes.push_back(Write{data == nullptr,
                           data ? std::string(data, length) : std::string(),
                           length, last});
    return 0;
  }

  int send_error(int status, const char*, const char*) override {
    errors.push_back(status);
    return 0;
  }

  // The body bytes of every write, in order.
  std::string body() const {
    std::string all;
    for (const Write& w : writes) all += w.data;
    return all;
  }

  std::vector<Write> writes;
  std::vector<int> errors;
  HTTP_Response head_at_first_write;

 private:
  HTTP_Request request_;
  HTTP_Response response_;
};

#endif
