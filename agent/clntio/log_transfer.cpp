#include "agent/clntio/log_transfer.h"

#include <ace/Log_Msg.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "agent/metrics/metrics.h"
#include "agent/platform/file.h"

namespace common {

namespace {

bool ends_with_gz(const char* name) {
  const std::size_t n = std::strlen(name);
  return n >= 3 && std::strcmp(name + n - 3, ".gz") == 0;
}

// The file compressed as it is read, one buffer of input at a time.
class Gzip_Source {
 public:
  explicit Gzip_Source(platform::File& file) : file_(file) {
    ok_ = deflateInit2(&z_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8,
                       Z_DEFAULT_STRATEGY) == Z_OK;
  }
  ~Gzip_Source() {
    if (ok_) deflateEnd(&z_);
  }
  bool ok() const { return ok_; }
  bool rewind() {
    if (!ok_ || deflateReset(&z_) != Z_OK || !file_.rewind()) return false;
    z_.avail_in = 0;
    eof_ = done_ = false;
    return true;
  }

  long operator()(char* out, std::size_t size) {
    if (done_) return 0;
    z_.next_out = reinterpret_cast<Bytef*>(out);
    z_.avail_out = static_cast<uInt>(size);
    while (z_.avail_out > 0 && !done_) {
      if (z_.avail_in == 0 && !eof_) {
        const long n = file_.read(in_, sizeof in_);
        if (n < 0) return -1;
        eof_ = n == 0;
        z_.next_in = reinterpret_cast<Bytef*>(in_);
        z_.avail_in = static_cast<uInt>(n);
      }
      const int result = deflate(&z_, eof_ ? Z_FINISH : Z_NO_FLUSH);
      if (result == Z_STREAM_END) done_ = true;
      else if (result != Z_OK && result != Z_BUF_ERROR) return -1;
    }
    return static_cast<long>(size - z_.avail_out);
  }

 private:
  platform::File& file_;
  z_stream z_{};
  bool ok_ = false, eof_ = false, done_ = false;
  char in_[1 << 16];
};

// Length and SHA-256 of a body as it is handed to the connection.
class Body_Digest {
 public:
  Body_Digest() : context_(EVP_MD_CTX_new()) { restart(); }
  ~Body_Digest() { EVP_MD_CTX_free(context_); }
  Body_Digest(const Body_Digest&) = delete;
  Body_Digest& operator=(const Body_Digest&) = delete;

  bool ready() const { return ready_; }
  void restart() {
    size_ = 0;
    ready_ = context_ && EVP_DigestInit_ex(context_, EVP_sha256(), nullptr) == 1;
  }
  void add(const char* data, std::size_t length) {
    size_ += length;
    if (ready_) ready_ = EVP_DigestUpdate(context_, data, length) == 1;
  }
  std::uint64_t size() const { return size_; }
  // The digest in lower-case hex; "" when it could not be made.
  std::string hex() {
    unsigned char raw[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!ready_ || EVP_DigestFinal_ex(context_, raw, &length) != 1) return std::string();
    ready_ = false;
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
      text += digits[raw[i] >> 4];
      text += digits[raw[i] & 15];
    }
    return text;
  }

 private:
  EVP_MD_CTX* context_;
  bool ready_ = false;
  std::uint64_t size_ = 0;
};

}  // namespace

bool upload_log(Client_IO& io, const char* target, const char* origin, bool missing_ok) {
  const bool ok = Client_IO_Service::instance()->upload_log(io, target, origin, missing_ok);
  metrics::upload_file_ended(ok);
  return ok;
}

bool transfer_log(Client_IO& io, const char* target, const char* origin,
                  bool missing_ok) {
  if (!target || !*target || !origin || !*origin) return false;
  // Regular files only: a FIFO would hold the upload, and its report, for
  // good.
  platform::File file;
  const bool opened = file.open_regular(origin);
  std::uint64_t size = 0;
  if (!opened && errno == ENOENT && missing_ok) {
    ACE_DEBUG((LM_DEBUG, "%N:%l: %C does not exist, skipped\n", origin));
    return true;
  }
  Sent_File sent{target, Sent_File::FAILED, 0, ""};
  if (!opened && errno == EINVAL) {
    ACE_ERROR((LM_ERROR, "%N:%l: %C is not a regular file, not uploaded\n", origin));
    io.note_file(sent);
    return false;
  }
  if (!opened || !file.size(size)) {
    ACE_ERROR((LM_ERROR, "%N:%l: cannot read %C to upload it, %m\n", origin));
    io.note_file(sent);
    return false;
  }
  const bool as_is = ends_with_gz(origin);
  std::unique_ptr<Gzip_Source> gzip;
  if (!as_is) gzip.reset(new (std::nothrow) Gzip_Source(file));
  Body_Digest digest;
  bool ok = false;
  if ((!as_is && (!gzip || !gzip->ok())) || !digest.ready()) {
    io.set_error("cannot start compression or digest");
  } else {
    const clntio::HTTP_Body_Source source = [&](char* b, std::size_t n) {
      const long got = as_is ? file.read(b, n) : (*gzip)(b, n);
      if (got > 0) digest.add(b, static_cast<std::size_t>(got));
      return got;
    };
    // libcurl is given no way to start a body over, so it never resends one
    // by itself: the one retry is this one, on a new connection, and the
    // status and digest say what really went.
    for (int attempt = 0; attempt < 2 && !ok; ++attempt) {
      if (attempt > 0) {
        ACE_DEBUG((LM_WARNING, "%N:%l: upload of %C as %C failed: %C; trying once more "
                               "on a new connection\n", origin, target, io.error()));
        if (!(as_is ? file.rewind() : gzip->rewind())) {
          io.set_error("the file cannot be read again");
          break;
        }
        if (!io.reconnect()) break;
      }
      digest.restart();
      ok = io.put(target, source, as_is ? static_cast<long long>(size) : -1,
                  clntio::HTTP_Body_Rewind());
      if (ok) {
        sent.status = attempt == 0 ? Sent_File::SENT : Sent_File::RETRIED;
        sent.size = digest.size();
        sent.sha256 = digest.hex();
      }
    }
  }
  io.note_file(sent);
  if (!ok)
    ACE_ERROR((LM_ERROR, "%N:%l: upload of %C as %C failed: %C\n", origin, target,
               io.error()));
  return ok;
}

bool generate_url_by_storage(const json_spirit::Object& storage,
                             const std::string& task_id, URI& uri,
                             Client_IO_Base::Options& options, std::string& url) {
  url.clear();
  const std::string* base = json_spirit::object_get_str(storage, "url");
  if (!base || !uri.parse(*base)) {
    ACE_ERROR((LM_ERROR, "%N:%l: private storage without a usable http(s) "
                         "\"url\"\n"));
    return false;
  }
  if (const json_spirit::Object* headers = json_spirit::object_get_object(storage, "headers"))
    for (const auto& header : *headers)
      if (header.second.type() == json_spirit::str_type)
        options.set_extra_option(header.first.c_str(), header.second.get_str().c_str());
  std::string trimmed = *base;
  while (!trimmed.empty() && trimmed.back() == '/') trimmed.pop_back();
  url = trimmed + "/" + task_id + "/";
  return true;
}

}  // namespace common
