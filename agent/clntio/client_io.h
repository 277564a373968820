// Client connections for transfers the agent starts (log uploads): where to
// (URI), how (Client_IO_Base::Options) and the connection itself
// (Client_IO), over the HTTP layer of http_client.h. One Client_IO keeps one
// connection for every file it sends.
#ifndef CLNTIO_CLIENT_IO_H
#define CLNTIO_CLIENT_IO_H

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "agent/clntio/http_client.h"
#include "agent/platform/service_instance.h"

// "http(s)://HOST[:PORT][/PATH]": PATH never ends with '/'.
class URI {
 public:
  // False (and nothing changed) for anything else.
  bool parse(const std::string& text);
  std::string str() const;

  bool ssl = false;
  std::string host;
  unsigned short port = 0;
  std::string path;  // "" or "/a/b"
};

class Client_IO_Base {
 public:
  struct Options {
    // Set for the agent's own management server: connect reaches it at once
    // (a HEAD of the URI), so an unreachable server fails the connect, not
    // the first file.
    bool probe = false;
    // Seconds to connect, and without a byte moving before giving up.
    long connect_timeout = 30;
    long idle_timeout = 60;
    std::string ca_file;  // "" for the system's authorities
    // Headers sent with every request.
    std::vector<std::pair<std::string, std::string>> extra;

    void set_extra_option(const char* name, const char* value) {
      extra.emplace_back(name ? name : "", value ? value : "");
    }
  };
};

// What became of one file an upload set out to send (a missing file that
// may be skipped is not one).
struct Sent_File {
  // SENT whole at the first try, RETRIED: whole at the second, on a new
  // connection; FAILED: not whole after both, or never readable.
  enum Status { SENT, RETRIED, FAILED };

  std::string name;  // the remote name it went, or was to go, under
  Status status = FAILED;
  // SENT and RETRIED: the body that arrived (the gzip stream when the file
  // was compressed on the way), its length and SHA-256 in lower-case hex.
  std::uint64_t size = 0;
  std::string sha256;
};

// "sent", "retried" or "failed".
const char* sent_file_status(Sent_File::Status status);

class Client_IO : public Client_IO_Base {
 public:
  enum Protocol { HTTP = 0 };

  Client_IO();
  ~Client_IO();

  // `protocol`://host:port`path` into `uri`; false without a host or port.
  static bool generate_uri(Protocol protocol, const char* host, unsigned short port,
                           bool ssl, const char* path, URI& uri);

  // Readies the connection to `uri` through Client_IO_Service::instance().
  bool connect(const URI& uri, const Options& options);
  // The last failure's text ("" when none).
  const char* error() const { return error_.c_str(); }

  // What the process's own service does: opens the connection.
  bool open(const URI& uri, const Options& options);
  // PUTs a body to `name` below the URI's path (one segment or several, as
  // given). `length` -1 when unknown; `rewind` starts the body over when a
  // kept connection turns out closed. False with error() set on failure.
  bool put(const std::string& name, const clntio::HTTP_Body_Source& source,
           long long length, const clntio::HTTP_Body_Rewind& rewind);
  void set_error(const std::string& text) { error_ = text; }
  // Drops the kept connection and readies a new one to the same place, so
  // that a retry does not go over the connection that just failed. False
  // (error() set) when none can be made.
  bool reconnect();

  // The files sent over this connection so far, in order, one entry each.
  void note_file(Sent_File file) { files_.push_back(std::move(file)); }
  const std::vector<Sent_File>& files() const { return files_; }

 private:
  std::unique_ptr<clntio::HTTP_Connection> connection_;
  URI uri_;
  Options options_;
  std::string error_;
  std::vector<Sent_File> files_;
};

// The seam of the transfers: Client_IO::connect and common::upload_log go
// through instance(), so a test sees each call and decides its outcome.
class Client_IO_Service : public Service_Instance_T<Client_IO_Service> {
 public:
  virtual ~Client_IO_Service();
  virtual bool connect(Client_IO& io, const URI& uri,
                       const Client_IO_Base::Options& options);
  // Leaves one Sent_File on `io` for each file it does not skip.
  virtual bool upload_log(Client_IO& io, const char* target, const char* origin,
                          bool missing_ok);
};

extern template class Service_Instance_T<Client_IO_Service>;

#endif
