// Client connections for transfers the agent starts (log uploads): where to
// (URI), how (Client_IO_Base::Options) and the connection itself
// (Client_IO), over the HTTP layer of http_client.h. One Client_IO keeps one
// connection for every file it sends.
#ifndef CLNTIO_CLIENT_IO_H
#define CLNTIO_CLIENT_IO_H

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

 private:
  std::unique_ptr<clntio::HTTP_Connection> connection_;
  URI uri_;
  Options options_;
  std::string error_;
};

// The seam of the transfers: Client_IO::connect and common::upload_log go
// through instance(), so a test sees each call and decides its outcome.
class Client_IO_Service : public Service_Instance_T<Client_IO_Service> {
 public:
  virtual ~Client_IO_Service();
  virtual bool connect(Client_IO& io, const URI& uri,
                       const Client_IO_Base::Options& options);
  virtual bool upload_log(Client_IO& io, const char* target, const char* origin,
                          bool missing_ok);
};

extern template class Service_Instance_T<Client_IO_Service>;

#endif
