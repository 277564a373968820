// The agent's key material: challenges and the RSA key pair kept under
// folder() as PEM (private key 0600), made on first use.
#include <ace/Log_Msg.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "agent/chost/host_manager.h"
#include "agent/text/random_text.h"
#include "agent/platform/files.h"
#include "agent/platform/platform.h"

namespace {

const int CHALLENGE_BYTES = 32;
const std::int64_t CHALLENGE_LIFETIME = 300;  // seconds
const int KEY_BITS = 2048;

struct Key_Free {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
typedef std::unique_ptr<EVP_PKEY, Key_Free> Key_Ptr;

Key_Ptr read_private_key(const std::string& path) {
  BIO* in = BIO_new_file(path.c_str(), "r");
  if (!in) return Key_Ptr();
  Key_Ptr key(PEM_read_bio_PrivateKey(in, nullptr, nullptr, nullptr));
  BIO_free(in);
  return key;
}

// Writes the PEM of `key` to `path` with `mode`, replacing it whole, so a
// crash never leaves half a key behind.
bool write_pem(const std::string& path, EVP_PKEY* key, bool private_part,
               int mode) {
  BIO* out = BIO_new(BIO_s_mem());
  if (!out) return false;
  bool ok = (private_part ? PEM_write_bio_PrivateKey(out, key, nullptr, nullptr,
                                                     0, nullptr, nullptr)
                          : PEM_write_bio_PUBKEY(out, key)) == 1;
  char* data = nullptr;
  const long length = BIO_get_mem_data(out, &data);
  ok = ok && length > 0 &&
       platform::replace_file(path, std::string(data, static_cast<std::size_t>(length)), mode);
  BIO_free(out);
  return ok;
}

}  // namespace

bool File_Host_Manager::create_challenge(std::string& challenge,
                                         std::int64_t& expires) {
  std::string text = random_hex(CHALLENGE_BYTES);
  if (text.empty()) return false;
  challenge.swap(text);
  expires = static_cast<std::int64_t>(std::time(nullptr)) + CHALLENGE_LIFETIME;
  return true;
}

std::string File_Host_Manager::public_key() const {
  std::lock_guard<std::mutex> g(lock_);
  load_keys();
  return public_der_;
}

// Under lock_. A pair that exists is only ever read: a private key that
// cannot be read is logged and left alone, since replacing it would change
// the agent's identity. Tried once per process, success or not, so a
// public endpoint cannot make the agent generate keys on every request.
void File_Host_Manager::load_keys() const {
  if (keys_loaded_) return;
  keys_loaded_ = true;
  const std::string private_path = folder_ + "/private_key.pem";
  const std::string public_path = folder_ + "/public_key.pem";

  Key_Ptr key;
  if (::access(private_path.c_str(), F_OK) == 0) {
    key = read_private_key(private_path);
    if (!key) {
      ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l: cannot read the private key %C\n"),
                 private_path.c_str()));
      return;
    }
  } else {
    key.reset(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA",
                                static_cast<size_t>(KEY_BITS)));
    platform::make_folders(folder_, 0750);
    if (!key || !write_pem(private_path, key.get(), true, 0600)) {
      ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l: cannot make the key pair in %C: %m\n"),
                 folder_.c_str()));
      return;
    }
    ACE_DEBUG((LM_INFO, ACE_TEXT("%N:%l: made a new key pair in %C\n"),
               folder_.c_str()));
  }
  // The public file is for operators; the private one is the truth.
  if (::access(public_path.c_str(), F_OK) != 0 &&
      !write_pem(public_path, key.get(), false, 0644))
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l: cannot write %C: %m\n"),
               public_path.c_str()));

  unsigned char* der = nullptr;
  int length = i2d_PUBKEY(key.get(), &der);
  if (length > 0) public_der_.assign(reinterpret_cast<char*>(der), length);
  OPENSSL_free(der);
}
