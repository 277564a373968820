#include "tests/support/file_server.h"

#include <sys/socket.h>

#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <cstdlib>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "tests/fakes/temp_dir.h"

namespace wire {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;

namespace {

std::string head_of(const File_Server::Answer& a) {
  std::string head = "HTTP/1.1 " + std::to_string(a.status) + " " +
                     std::string(http::obsolete_reason(static_cast<http::status>(a.status))) +
                     "\r\nContent-Length: " + std::to_string(a.body.size()) +
                     "\r\nConnection: close\r\n";
  if (!a.location.empty()) head += "Location: " + a.location + "\r\n";
  return head + "\r\n";
}

}  // namespace

struct File_Server::Impl {
  net::io_context ioc;
  tcp::acceptor acceptor{ioc, {net::ip::make_address("127.0.0.1"), 0}};
  std::optional<net::ssl::context> tls;
  Temp_Dir dir;
  std::string ca_file;
  mutable std::mutex lock;
  std::map<std::string, Answer> answers;
  std::vector<Seen> seen;
  std::thread thread;

  template <class Stream>
  void exchange(Stream& stream) {
    beast::error_code ec;
    beast::flat_buffer buffer;
    http::request<http::string_body> request;
    http::read(stream, buffer, request, ec);
    if (ec) return;
    Answer answer;
    answer.status = 404;
    {
      std::lock_guard<std::mutex> guard(lock);
      Seen s{std::string(request.target()), std::nullopt};
      auto key = request.find("X-ACCESS-KEY");
      if (key != request.end()) s.access_key = std::string(key->value());
      seen.push_back(s);
      auto it = answers.find(s.target);
      if (it != answers.end()) answer = it->second;
    }
    const std::string text =
        head_of(answer) + answer.body.substr(0, answer.cut_after);
    net::write(stream, net::buffer(text), ec);
  }

  void accept() {
    acceptor.async_accept([this](beast::error_code ec, tcp::socket socket) {
      if (ec) return;
      // A client that stalls cannot hold the server for long.
      timeval limit{5, 0};
      ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
      if (tls) {
        net::ssl::stream<tcp::socket> stream(std::move(socket), *tls);
        beast::error_code handshake;
        stream.handshake(net::ssl::stream_base::server, handshake);
        if (!handshake) exchange(stream);
        beast::get_lowest_layer(stream).close();
      } else {
        exchange(socket);
      }
      accept();
    });
  }
};

void make_certificate(const std::string& certificate, const std::string& key) {
  const std::string make =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 -subj "
      "/CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout " + key + " -out " +
      certificate + " 2>/dev/null";
  if (std::system(make.c_str()) != 0) throw std::runtime_error("openssl made no certificate");
}

File_Server::File_Server(bool tls) : impl_(new Impl) {
  if (tls) {
    // A self-signed certificate for 127.0.0.1: good in itself, trusted only
    // by a client told to.
    impl_->ca_file = impl_->dir / "ca.pem";
    const std::string key = impl_->dir / "key.pem";
    make_certificate(impl_->ca_file, key);
    impl_->tls.emplace(net::ssl::context::tls_server);
    impl_->tls->use_certificate_file(impl_->ca_file, net::ssl::context::pem);
    impl_->tls->use_private_key_file(key, net::ssl::context::pem);
  }
  impl_->accept();
  impl_->thread = std::thread([this] { impl_->ioc.run(); });
}

File_Server::~File_Server() {
  impl_->ioc.stop();
  impl_->thread.join();
}

unsigned short File_Server::port() const { return impl_->acceptor.local_endpoint().port(); }

const std::string& File_Server::ca_file() const { return impl_->ca_file; }

void File_Server::serve(const std::string& target, Answer answer) {
  std::lock_guard<std::mutex> guard(impl_->lock);
  impl_->answers[target] = std::move(answer);
}

std::vector<File_Server::Seen> File_Server::requests() const {
  std::lock_guard<std::mutex> guard(impl_->lock);
  return impl_->seen;
}

}  // namespace wire
