#include "agent/clntio/client_io.h"

#include <cstdlib>
#include <new>

#include "agent/clntio/log_transfer.h"
#include "agent/httpd/http_io.h"

template <>
Client_IO_Service* default_service<Client_IO_Service>() {
  static Client_IO_Service* service = new Client_IO_Service;
  return service;
}
template class Service_Instance_T<Client_IO_Service>;

Client_IO_Service::~Client_IO_Service() {}

bool Client_IO_Service::connect(Client_IO& io, const URI& uri,
                                const Client_IO_Base::Options& options) {
  return io.open(uri, options);
}

bool Client_IO_Service::upload_log(Client_IO& io, const char* target,
                                   const char* origin, bool missing_ok) {
  return common::transfer_log(io, target, origin, missing_ok);
}

const char* sent_file_status(Sent_File::Status status) {
  switch (status) {
    case Sent_File::SENT: return "sent";
    case Sent_File::RETRIED: return "retried";
    case Sent_File::FAILED: break;
  }
  return "failed";
}

bool URI::parse(const std::string& text) {
  const bool tls = text.compare(0, 8, "https://") == 0;
  if (!tls && text.compare(0, 7, "http://") != 0) return false;
  const std::string rest = text.substr(tls ? 8 : 7);
  const std::string::size_type slash = rest.find('/');
  const std::string authority = rest.substr(0, slash);
  std::string name = authority;
  unsigned long number = tls ? 443 : 80;
  const std::string::size_type colon = authority.rfind(':');
  const std::string::size_type bracket = authority.rfind(']');
  if (colon != std::string::npos && (bracket == std::string::npos || colon > bracket)) {
    name = authority.substr(0, colon);
    const std::string digits = authority.substr(colon + 1);
    char* end = nullptr;
    number = std::strtoul(digits.c_str(), &end, 10);
    if (digits.empty() || *end || number == 0 || number > 65535) return false;
  }
  if (name.size() > 2 && name.front() == '[' && name.back() == ']')
    name = name.substr(1, name.size() - 2);
  if (name.empty()) return false;
  std::string rest_path = slash == std::string::npos ? "" : rest.substr(slash);
  while (!rest_path.empty() && rest_path.back() == '/') rest_path.pop_back();
  ssl = tls;
  host = name;
  port = static_cast<unsigned short>(number);
  path = rest_path;
  return true;
}

std::string URI::str() const {
  const bool v6 = host.find(':') != std::string::npos;
  return std::string(ssl ? "https://" : "http://") + (v6 ? "[" : "") + host +
         (v6 ? "]" : "") + ":" + std::to_string(port) + path;
}

Client_IO::Client_IO() {}
Client_IO::~Client_IO() {}

bool Client_IO::generate_uri(Protocol, const char* host, unsigned short port,
                             bool ssl, const char* path, URI& uri) {
  if (!host || !*host || port == 0) return false;
  uri.ssl = ssl;
  uri.host = host;
  uri.port = port;
  uri.path = path ? path : "";
  while (!uri.path.empty() && uri.path.back() == '/') uri.path.pop_back();
  return true;
}

bool Client_IO::connect(const URI& uri, const Options& options) {
  return Client_IO_Service::instance()->connect(*this, uri, options);
}

bool Client_IO::open(const URI& uri, const Options& options) {
  uri_ = uri;
  options_ = options;
  clntio::HTTP_Session_Ptr session = clntio::HTTP_Session_Factory::create(
      uri.host, uri.port, uri.ssl, nullptr, 0,
      options.ca_file.empty() ? nullptr : options.ca_file.c_str(), false,
      options.connect_timeout, options.idle_timeout, 0, 0);
  if (!session) {
    error_ = "no session for " + uri.str();
    return false;
  }
  connection_.reset(new (std::nothrow) clntio::HTTP_Connection(session));
  if (!connection_) {
    error_ = "out of memory";
    return false;
  }
  for (const auto& header : options.extra) {
    clntio::HTTP_Request check(HTTP_METHOD_HEAD, "/", true);
    if (!check.headers().put(header.first, header.second)) {
      error_ = "header '" + header.first + "' cannot be sent";
      connection_.reset();
      return false;
    }
  }
  if (!options.probe) return true;
  clntio::HTTP_Request probe(HTTP_METHOD_HEAD, uri.path.empty() ? "/" : uri.path, false);
  for (const auto& header : options.extra) probe.headers().put(header.first, header.second);
  if (connection_->open(probe)) return true;
  error_ = connection_->error();
  connection_.reset();
  return false;
}

bool Client_IO::reconnect() {
  // The place was reached before; the new connection is made by the next
  // request.
  Options options = options_;
  options.probe = false;
  return open(uri_, options);
}

bool Client_IO::put(const std::string& name, const clntio::HTTP_Body_Source& source,
                    long long length, const clntio::HTTP_Body_Rewind& rewind) {
  if (!connection_) {
    error_ = "not connected";
    return false;
  }
  // The name is encoded here; the URI's path is sent as it was given.
  clntio::HTTP_Request request(HTTP_METHOD_PUT, name, false);
  request.uri(uri_.path + request.uri(), true);
  for (const auto& header : options_.extra) request.headers().put(header.first, header.second);
  if (connection_->send(request, source, length, rewind)) return true;
  error_ = connection_->error();
  return false;
}
