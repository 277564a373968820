#include "tests/support/file_server.h"

#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <stdlib.h>
#include <unistd.h>

#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

namespace wire {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;

namespace {

// A self-signed certificate for 127.0.0.1 (PEM, with its key): good in
// itself, trusted only by a client told to.
std::pair<std::string, std::string> make_certificate() {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* x = X509_new();
  X509_set_version(x, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
  X509_gmtime_adj(X509_getm_notBefore(x), -60);
  X509_gmtime_adj(X509_getm_notAfter(x), 3600);
  X509_set_pubkey(x, key);
  X509_NAME* name = X509_get_subject_name(x);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
  X509_set_issuer_name(x, name);
  X509V3_CTX v3;
  X509V3_set_ctx_nodb(&v3);
  X509V3_set_ctx(&v3, x, x, nullptr, nullptr, 0);
  for (auto ext : {std::make_pair(NID_subject_alt_name, "IP:127.0.0.1"),
                   std::make_pair(NID_basic_constraints, "critical,CA:TRUE")}) {
    X509_EXTENSION* e = X509V3_EXT_conf_nid(nullptr, &v3, ext.first, ext.second);
    X509_add_ext(x, e, -1);
    X509_EXTENSION_free(e);
  }
  X509_sign(x, key, EVP_sha256());
  BIO* cert = BIO_new(BIO_s_mem());
  BIO* pkey = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(cert, x);
  PEM_write_bio_PrivateKey(pkey, key, nullptr, nullptr, 0, nullptr, nullptr);
  auto text = [](BIO* b) {
    char* data = nullptr;
    long n = BIO_get_mem_data(b, &data);
    std::string t(data, n);
    BIO_free(b);
    return t;
  };
  std::pair<std::string, std::string> pem(text(cert), text(pkey));
  X509_free(x);
  EVP_PKEY_free(key);
  return pem;
}

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

File_Server::File_Server(bool tls) : impl_(new Impl) {
  if (tls) {
    const auto pem = make_certificate();
    impl_->tls.emplace(net::ssl::context::tls_server);
    impl_->tls->use_certificate(net::buffer(pem.first), net::ssl::context::pem);
    impl_->tls->use_private_key(net::buffer(pem.second), net::ssl::context::pem);
    char path[] = "/tmp/wagent-test-ca-XXXXXX";
    int fd = ::mkstemp(path);
    if (fd >= 0) ::close(fd);
    impl_->ca_file = path;
    std::ofstream(impl_->ca_file) << pem.first;
  }
  impl_->accept();
  impl_->thread = std::thread([this] { impl_->ioc.run(); });
}

File_Server::~File_Server() {
  impl_->ioc.stop();
  impl_->thread.join();
  if (!impl_->ca_file.empty()) ::unlink(impl_->ca_file.c_str());
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
