#include "tests/support/file_server.h"

#include <sys/socket.h>

#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <openssl/sha.h>
#include <cstdlib>
#include <limits>
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

std::string sha256_hex(const std::string& data) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest);
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char b : digest) {
    text += digits[b >> 4];
    text += digits[b & 15];
  }
  return text;
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

  Answer put_answer;
  struct Put_Rule {
    std::string target_end;
    Answer answer;
    std::size_t times;
  };
  std::vector<Put_Rule> put_rules;
  std::size_t connections = 0;

  // Under the lock.
  Answer put_answer_for(const std::string& target) {
    for (Put_Rule& rule : put_rules)
      if (rule.times > 0 && target.size() >= rule.target_end.size() &&
          target.compare(target.size() - rule.target_end.size(), std::string::npos,
                         rule.target_end) == 0) {
        if (rule.times != std::string::npos) --rule.times;
        return rule.answer;
      }
    return put_answer;
  }

  // Answers one request; false when the connection is to end.
  template <class Stream>
  bool exchange(Stream& stream, beast::flat_buffer& buffer, std::size_t connection) {
    beast::error_code ec;
    http::request_parser<http::string_body> parser;
    parser.body_limit(std::numeric_limits<std::uint64_t>::max());
    http::read_header(stream, buffer, parser, ec);
    if (ec) return false;
    const auto& head = parser.get();
    const bool upload = head.method() == http::verb::put || head.method() == http::verb::head;
    auto field = [&](const char* name) {
      auto f = head.find(name);
      return f == head.end() ? std::optional<std::string>() : std::string(f->value());
    };
    Seen s{std::string(head.target()), field("X-ACCESS-KEY"), std::string(head.method_string()),
           "", field("Authorization").value_or(""), connection, ""};
    Answer answer{404, "", "", std::string::npos};
    std::unique_lock<std::mutex> guard(lock);
    auto it = answers.find(s.target);
    if (head.method() == http::verb::put) answer = put_answer_for(s.target);
    else if (it != answers.end()) answer = it->second;
    guard.unlock();
    // A cut upload: a little of it is read, then the connection is dropped.
    const bool cut = head.method() == http::verb::put && answer.cut_after != std::string::npos;
    while (cut && !ec && !parser.is_done() && parser.get().body().size() < answer.cut_after)
      http::read_some(stream, buffer, parser, ec);
    if (!cut) http::read(stream, buffer, parser, ec);
    s.body = parser.get().body();
    s.body_sha256 = sha256_hex(s.body);
    guard.lock();
    seen.push_back(std::move(s));
    guard.unlock();
    if (cut || ec) return false;
    http::response<http::string_body> response{static_cast<http::status>(answer.status), 11};
    response.keep_alive(upload && parser.get().keep_alive());
    if (!answer.location.empty()) response.set(http::field::location, answer.location);
    response.body() = answer.body;
    response.prepare_payload();
    // The head announces the whole body; a cut answer sends only its start.
    http::response_serializer<http::string_body> serializer(response);
    http::write_header(stream, serializer, ec);
    if (head.method() != http::verb::head && !ec)
      net::write(stream, net::buffer(answer.body.substr(0, answer.cut_after)), ec);
    return response.keep_alive() && !ec;
  }

  void serve(tcp::socket socket) {
    // A client that stalls cannot hold the server for long.
    timeval limit{5, 0};
    ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    const std::size_t number = ++connections;
    beast::flat_buffer buffer;
    const auto answer_all = [&](auto& stream) {
      while (exchange(stream, buffer, number)) {
      }
    };
    if (!tls) return answer_all(socket);
    net::ssl::stream<tcp::socket> stream(std::move(socket), *tls);
    beast::error_code handshake;
    stream.handshake(net::ssl::stream_base::server, handshake);
    if (!handshake) answer_all(stream);
    beast::get_lowest_layer(stream).close();
  }

  void accept() {
    acceptor.async_accept([this](beast::error_code ec, tcp::socket socket) {
      if (ec) return;
      serve(std::move(socket));
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

void File_Server::serve_puts(Answer answer) {
  std::lock_guard<std::mutex> guard(impl_->lock);
  impl_->put_answer = std::move(answer);
}

void File_Server::serve_puts_to(const std::string& target_end, Answer answer,
                                std::size_t times) {
  std::lock_guard<std::mutex> guard(impl_->lock);
  impl_->put_rules.push_back({target_end, std::move(answer), times});
}

void File_Server::adopt(int descriptor) {
  net::post(impl_->ioc, [this, descriptor] {
    tcp::socket socket(impl_->ioc);
    beast::error_code ec;
    socket.assign(tcp::v4(), descriptor, ec);
    if (!ec) impl_->serve(std::move(socket));
  });
}

std::vector<File_Server::Seen> File_Server::requests() const {
  std::lock_guard<std::mutex> guard(impl_->lock);
  return impl_->seen;
}

}  // namespace wire
