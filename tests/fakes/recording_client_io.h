// The transfer seam of log uploads: records each connect (URI, probe flag)
// and each file upload as "TARGET <- ORIGIN" (with " ?" when a missing file
// may be skipped), and fails those it is told to; each file is noted on the
// connection as sent or failed, as the real transfer notes it.
#ifndef TESTS_FAKES_RECORDING_CLIENT_IO_H
#define TESTS_FAKES_RECORDING_CLIENT_IO_H

#include <algorithm>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "agent/clntio/client_io.h"

class Recording_Client_IO : public Client_IO_Service {
 public:
  bool connect(Client_IO& io, const URI& uri, const Client_IO_Base::Options& options) override {
    std::lock_guard<std::mutex> guard(lock_);
    connected_uri = uri.str();
    probe = options.probe;
    if (!connect_ok) io.set_error("refused");
    return connect_ok;
  }
  bool upload_log(Client_IO& io, const char* target, const char* origin, bool missing_ok) override {
    std::string from = origin;
#ifdef _WIN32  // the agent joins paths with Windows' separator, tests with '/'
    std::replace(from.begin(), from.end(), '\\', '/');
#endif
    std::lock_guard<std::mutex> guard(lock_);
    uploads_.push_back(std::string(target) + " <- " + from + (missing_ok ? " ?" : ""));
    const bool ok = !failing.count(from);
    io.note_file({target, ok ? Sent_File::SENT : Sent_File::FAILED, 0, ""});
    return ok;
  }
  std::vector<std::string> uploads() const {
    std::lock_guard<std::mutex> guard(lock_);
    return uploads_;
  }

  bool connect_ok = true;
  std::set<std::string> failing;  // origins whose upload fails
  std::string connected_uri;
  bool probe = false;

 private:
  mutable std::mutex lock_;
  std::vector<std::string> uploads_;
};

#endif
