#include "agent/clntio/http_client.h"

#include <ace/Log_Msg.h>
#include <ace/OS_NS_stdio.h>
#include <ace/OS_NS_stdlib.h>
#include <ace/OS_NS_unistd.h>
#include <curl/curl.h>
#include <openssl/evp.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>

#include "agent/httpd/http_io.h"
#include "agent/metrics/metrics.h"

namespace clntio {

namespace {

void global_init() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool is_path_byte(unsigned char c) {
  return c > 0x20 && c < 0x7f && c != '%' && c != '?' && c != '#';
}

struct Easy {
  CURL* curl = curl_easy_init();
  curl_slist* headers = nullptr;
  ~Easy() {
    curl_slist_free_all(headers);
    if (curl) curl_easy_cleanup(curl);
  }
};

// The body of a 2xx answer goes to the file; any other answer (an error
// page, a redirect's own body) is read and dropped.
struct Sink {
  CURL* curl;
  ACE_HANDLE file;
  bool write_failed = false;
  // Hashes the body as it is written when a digest is to be checked.
  EVP_MD_CTX* digest = nullptr;
};

// `hex` (64 hex digits, either case) against what `digest` holds.
bool digest_matches(EVP_MD_CTX* digest, const std::string& hex) {
  unsigned char sum[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (!EVP_DigestFinal_ex(digest, sum, &size) || hex.size() != 2 * size) return false;
  static const char digits[] = "0123456789abcdef";
  for (unsigned int k = 0; k < size; ++k)
    if (std::tolower(static_cast<unsigned char>(hex[2 * k])) != digits[sum[k] >> 4] ||
        std::tolower(static_cast<unsigned char>(hex[2 * k + 1])) != digits[sum[k] & 15])
      return false;
  return true;
}

std::size_t write_body(char* data, std::size_t size, std::size_t count,
                       void* user) {
  Sink* sink = static_cast<Sink*>(user);
  const std::size_t length = size * count;
  long status = 0;
  curl_easy_getinfo(sink->curl, CURLINFO_RESPONSE_CODE, &status);
  if (status < 200 || status > 299) return length;
  if (sink->digest && !EVP_DigestUpdate(sink->digest, data, length)) {
    sink->write_failed = true;
    return 0;
  }
  for (std::size_t done = 0; done < length;) {
    ssize_t n = ACE_OS::write(sink->file, data + done, length - done);
    if (n <= 0) {
      sink->write_failed = true;
      return 0;  // ends the transfer with an error
    }
    done += static_cast<std::size_t>(n);
  }
  return length;
}

// Sets what every transfer of `session` shares on `curl`.
void configure(CURL* curl, const HTTP_Session& session) {
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  // Only the session's own scheme, and no proxy unless one was given: the
  // environment's proxy settings are not the agent's.
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, session.tls ? "https" : "http");
  curl_easy_setopt(curl, CURLOPT_PROXY, session.proxy.c_str());
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, session.connect_timeout);
  if (session.idle_timeout > 0) {
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, session.idle_timeout);
  }
  curl_easy_setopt(curl, CURLOPT_MAX_RECV_SPEED_LARGE,
                   static_cast<curl_off_t>(session.max_recv_speed));
  curl_easy_setopt(curl, CURLOPT_MAX_SEND_SPEED_LARGE,
                   static_cast<curl_off_t>(session.max_send_speed));
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, session.insecure ? 0L : 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, session.insecure ? 0L : 2L);
  if (!session.ca_file.empty())
    curl_easy_setopt(curl, CURLOPT_CAINFO, session.ca_file.c_str());
  // Redirects are followed here, not by libcurl, so that they stay on the
  // session's server: the access key must never reach another one.
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
}

bool is_redirect(long status) {
  return status == 301 || status == 302 || status == 303 || status == 307 ||
         status == 308;
}

std::string folder_of(const std::string& path) {
  std::string::size_type slash = path.find_last_of("/\\");
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

}  // namespace

const char* http_request_header_name(int code) {
  if (code == HTTP_HEADER_X_ACCESS_KEY) return "X-ACCESS-KEY";
  return http_head_string(code, 0);
}

bool HTTP_Headers::put(int code, const std::string& value, bool replace) {
  const char* name = http_request_header_name(code);
  if (!name || value.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
    return false;
  if (replace)
    for (auto it = fields_.begin(); it != fields_.end();)
      it = it->first == name ? fields_.erase(it) : it + 1;
  fields_.emplace_back(name, value);
  return true;
}

bool HTTP_Headers::put(const std::string& name, const std::string& value) {
  static const char token_marks[] = "!#$%&'*+-.^_`|~";
  if (name.empty() ||
      value.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
    return false;
  for (unsigned char c : name)
    if (!std::isalnum(c) && !std::strchr(token_marks, c)) return false;
  fields_.emplace_back(name, value);
  return true;
}

HTTP_Request::HTTP_Request(int method, const std::string& path, bool encoded)
    : method_(method) {
  uri(path, encoded);
}

void HTTP_Request::uri(const std::string& path, bool encoded) {
  if (encoded) {
    uri_ = path;
    return;
  }
  uri_.clear();
  for (unsigned char c : path) {
    if (is_path_byte(c)) {
      uri_ += static_cast<char>(c);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      uri_ += hex;
    }
  }
  if (uri_.empty() || uri_[0] != '/') uri_.insert(0, 1, '/');
}

std::string HTTP_Session::base_url() const {
  const bool v6 = host.find(':') != std::string::npos;
  return std::string(tls ? "https://" : "http://") + (v6 ? "[" : "") + host +
         (v6 ? "]" : "") + ":" + std::to_string(port);
}

HTTP_Session_Ptr HTTP_Session_Factory::create(
    const std::string& host, unsigned short port, bool tls, const char* proxy,
    long max_redirects, const char* ca_file, bool insecure,
    long connect_timeout, long idle_timeout, long max_recv_speed,
    long max_send_speed) {
  if (host.empty()) return HTTP_Session_Ptr();
  HTTP_Session_Ptr s(new (std::nothrow) HTTP_Session);
  if (!s) return s;
  s->host = host;
  s->port = port;
  s->tls = tls;
  s->proxy = proxy ? proxy : "";
  s->max_redirects = max_redirects;
  s->ca_file = ca_file && *ca_file ? ca_file : trusted_authorities();
  s->insecure = insecure;
  s->connect_timeout = connect_timeout;
  s->idle_timeout = idle_timeout;
  s->max_recv_speed = max_recv_speed;
  s->max_send_speed = max_send_speed;
  return s;
}

namespace {
std::mutex authorities_lock;
std::string authorities;
}  // namespace

void set_trusted_authorities(const std::string& ca_file) {
  std::lock_guard<std::mutex> guard(authorities_lock);
  authorities = ca_file;
}

std::string trusted_authorities() {
  std::lock_guard<std::mutex> guard(authorities_lock);
  return authorities;
}

bool download_file_name(const std::string& uri, std::string& name) {
  std::string::size_type slash = uri.rfind('/');
  std::string last = slash == std::string::npos ? uri : uri.substr(slash + 1);
  if (last.empty() || last == "." || last == ".." ||
      last.find_first_of(std::string("\\\0", 2)) != std::string::npos)
    return false;
  name = last;
  return true;
}

bool http_session_get_file(const HTTP_Session_Ptr& session,
                           const HTTP_Request& request,
                           const std::string& local_path) {
  return http_session_get_file(session, request, local_path, std::string());
}

bool http_session_get_file(const HTTP_Session_Ptr& session,
                           const HTTP_Request& request,
                           const std::string& local_path, const std::string& sha256) {
  if (!session || request.method() != HTTP_METHOD_GET || local_path.empty() ||
      local_path.find('\0') != std::string::npos) {
    errno = EINVAL;
    return false;
  }
  global_init();
  Easy easy;
  if (!easy.curl) return false;
  for (const auto& field : request.headers().fields())
    easy.headers = curl_slist_append(easy.headers,
                                     (field.first + ": " + field.second).c_str());
  configure(easy.curl, *session);
  curl_easy_setopt(easy.curl, CURLOPT_HTTPHEADER, easy.headers);

  // A hidden name beside the target, so the rename stays on one file system.
  std::string temp = folder_of(local_path) + "/.download-XXXXXX";
  ACE_HANDLE file = ACE_OS::mkstemp(&temp[0]);
  if (file == ACE_INVALID_HANDLE) {
    ACE_ERROR((LM_ERROR, "%N:%l: cannot write into the folder of %C, %m\n",
               local_path.c_str()));
    return false;
  }
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> digest(nullptr, EVP_MD_CTX_free);
  if (!sha256.empty()) {
    digest.reset(EVP_MD_CTX_new());
    if (!digest || !EVP_DigestInit_ex(digest.get(), EVP_sha256(), nullptr)) {
      ACE_OS::close(file);
      ACE_OS::unlink(temp.c_str());
      errno = ENOMEM;
      return false;
    }
  }
  Sink sink{easy.curl, file, false, digest.get()};
  curl_easy_setopt(easy.curl, CURLOPT_WRITEFUNCTION, write_body);
  curl_easy_setopt(easy.curl, CURLOPT_WRITEDATA, &sink);

  const std::string base = session->base_url();
  std::string url = base + request.uri();
  CURLcode result = CURLE_OK;
  long status = 0;
  for (long hops = 0;; ++hops) {
    curl_easy_setopt(easy.curl, CURLOPT_URL, url.c_str());
    result = curl_easy_perform(easy.curl);
    curl_easy_getinfo(easy.curl, CURLINFO_RESPONSE_CODE, &status);
    char* next = nullptr;
    if (result != CURLE_OK || !is_redirect(status) ||
        curl_easy_getinfo(easy.curl, CURLINFO_REDIRECT_URL, &next) != CURLE_OK ||
        !next)
      break;
    const std::string target(next);
    if (hops >= session->max_redirects ||
        target.compare(0, base.size() + 1, base + "/") != 0) {
      ACE_ERROR((LM_ERROR, "%N:%l: download of %C: redirect to %C refused\n",
                 url.c_str(), target.c_str()));
      break;
    }
    url = target;
  }
  bool ok = result == CURLE_OK && status >= 200 && status <= 299 &&
            !sink.write_failed && ACE_OS::fsync(file) == 0;
  ACE_OS::close(file);
  if (ok && digest && !digest_matches(digest.get(), sha256)) {
    ok = false;
    ACE_ERROR((LM_ERROR, "%N:%l: download of %C: its SHA-256 is not %C\n", url.c_str(),
               sha256.c_str()));
  }
  if (ok && ACE_OS::rename(temp.c_str(), local_path.c_str()) != 0) ok = false;
  if (!ok) {
    ACE_OS::unlink(temp.c_str());
    // An older file of that name must not pass for this download.
    ACE_OS::unlink(local_path.c_str());
    ACE_ERROR((LM_ERROR, "%N:%l: download of %C failed: %C, status %d\n",
               url.c_str(), curl_easy_strerror(result), int(status)));
  }
  return ok;
}

struct HTTP_Connection::Impl {
  Easy easy;
  const HTTP_Body_Source* source = nullptr;
  const HTTP_Body_Rewind* rewind = nullptr;
  bool source_failed = false;
  char error[CURL_ERROR_SIZE] = "";

  static std::size_t read_body(char* buffer, std::size_t size, std::size_t count,
                               void* user) {
    Impl* self = static_cast<Impl*>(user);
    const long n = (*self->source)(buffer, size * count);
    if (n < 0) {
      self->source_failed = true;
      return CURL_READFUNC_ABORT;
    }
    metrics::upload_bytes_sent(n);
    return static_cast<std::size_t>(n);
  }
  static int seek_body(void* user, curl_off_t offset, int origin) {
    Impl* self = static_cast<Impl*>(user);
    return offset == 0 && origin == SEEK_SET && self->rewind && *self->rewind &&
                   (*self->rewind)()
               ? CURL_SEEKFUNC_OK
               : CURL_SEEKFUNC_CANTSEEK;
  }
  // Answers are short texts nobody reads.
  static std::size_t drop_body(char*, std::size_t size, std::size_t count, void*) {
    return size * count;
  }
};

HTTP_Connection::HTTP_Connection(HTTP_Session_Ptr session)
    : session_(std::move(session)) {
  global_init();
  impl_.reset(new (std::nothrow) Impl);
  if (!impl_ || !impl_->easy.curl || !session_) return;
  CURL* curl = impl_->easy.curl;
  configure(curl, *session_);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, impl_->error);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Impl::drop_body);
  curl_easy_setopt(curl, CURLOPT_READFUNCTION, &Impl::read_body);
  curl_easy_setopt(curl, CURLOPT_READDATA, impl_.get());
  curl_easy_setopt(curl, CURLOPT_SEEKFUNCTION, &Impl::seek_body);
  curl_easy_setopt(curl, CURLOPT_SEEKDATA, impl_.get());
  // Small writes of a streamed body go out at once.
  curl_easy_setopt(curl, CURLOPT_TCP_NODELAY, 1L);
}

HTTP_Connection::~HTTP_Connection() {}

bool HTTP_Connection::perform(const HTTP_Request& request, bool any_status) {
  if (!impl_ || !impl_->easy.curl || !session_) {
    error_ = "no connection could be made";
    return false;
  }
  CURL* curl = impl_->easy.curl;
  curl_slist_free_all(impl_->easy.headers);
  impl_->easy.headers = nullptr;
  for (const auto& field : request.headers().fields())
    impl_->easy.headers = curl_slist_append(
        impl_->easy.headers, (field.first + ": " + field.second).c_str());
  // No "Expect: 100-continue": servers that never answer it would cost a
  // second per file.
  impl_->easy.headers = curl_slist_append(impl_->easy.headers, "Expect:");
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, impl_->easy.headers);
  const std::string url = session_->base_url() + request.uri();
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  impl_->error[0] = '\0';
  impl_->source_failed = false;
  const CURLcode result = curl_easy_perform(curl);
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  if (result != CURLE_OK) {
    error_ = url + ": " +
             (impl_->source_failed ? "the body could not be read"
              : impl_->error[0]    ? impl_->error
                                   : curl_easy_strerror(result));
    return false;
  }
  if (!any_status && (status < 200 || status > 299)) {
    error_ = url + ": status " + std::to_string(status);
    return false;
  }
  error_.clear();
  return true;
}

bool HTTP_Connection::open(const HTTP_Request& request) {
  if (impl_ && impl_->easy.curl) {
    curl_easy_setopt(impl_->easy.curl, CURLOPT_UPLOAD, 0L);
    curl_easy_setopt(impl_->easy.curl, CURLOPT_NOBODY, 1L);
  }
  return perform(request, true);
}

bool HTTP_Connection::send(const HTTP_Request& request,
                           const HTTP_Body_Source& source, long long length,
                           const HTTP_Body_Rewind& rewind) {
  if (impl_ && impl_->easy.curl) {
    CURL* curl = impl_->easy.curl;
    curl_easy_setopt(curl, CURLOPT_NOBODY, 0L);
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(length));
    impl_->source = &source;
    impl_->rewind = &rewind;
  }
  return perform(request, false);
}

}  // namespace clntio
