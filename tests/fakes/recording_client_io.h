// The transfer seam of log uploads: records each connect (URI, probe flag,
// extra headers) and each file upload (target, origin, missing_ok), and
// fails those it is told to.
#ifndef TESTS_FAKES_RECORDING_CLIENT_IO_H
#define TESTS_FAKES_RECORDING_CLIENT_IO_H

#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "agent/clntio/client_io.h"

class Recording_Client_IO : public Client_IO_Service {
 public:
  struct Upload {
    std::string target, origin;
    bool missing_ok;
    bool operator==(const Upload& o) const {
      return target == o.target && origin == o.origin && missing_ok == o.missing_ok;
    }
  };

  bool connect(Client_IO& io, const URI& uri,
               const Client_IO_Base::Options& options) override {
    std::lock_guard<std::mutex> guard(lock_);
    connected_uri = uri.str();
    probe = options.probe;
    headers = options.extra;
    ++connects;
    if (!connect_ok) io.set_error("refused");
    return connect_ok;
  }
  bool upload_log(Client_IO&, const char* target, const char* origin,
                  bool missing_ok) override {
    std::lock_guard<std::mutex> guard(lock_);
    uploads.push_back(Upload{target, origin, missing_ok});
    return !failing.count(target) && !failing.count(origin);
  }

  std::vector<Upload> recorded() const {
    std::lock_guard<std::mutex> guard(lock_);
    return uploads;
  }

  bool connect_ok = true;
  std::set<std::string> failing;  // targets or origins whose upload fails
  int connects = 0;
  std::string connected_uri;
  bool probe = false;
  std::vector<std::pair<std::string, std::string>> headers;

 private:
  mutable std::mutex lock_;
  std::vector<Upload> uploads;
};

#endif
