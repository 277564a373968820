#include "agent/text/key_text.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

RSA_Key_Writer::RSA_Key_Writer(const unsigned char* der, std::size_t length,
                               bool public_key,
                               const Secure_String& passphrase) {
  const unsigned char* p = der;
  long n = static_cast<long>(length);
  EVP_PKEY* key = public_key ? d2i_PUBKEY(nullptr, &p, n)
                             : d2i_AutoPrivateKey(nullptr, &p, n);
  if (!key) return;
  BIO* out = BIO_new(BIO_s_mem());
  int ok = 0;
  if (out && public_key) {
    ok = PEM_write_bio_PUBKEY(out, key);
  } else if (out) {
    const EVP_CIPHER* cipher = passphrase.empty() ? nullptr : EVP_aes_256_cbc();
    ok = PEM_write_bio_PKCS8PrivateKey(
        out, key, cipher, const_cast<char*>(passphrase.data()),
        static_cast<int>(passphrase.size()), nullptr, nullptr);
  }
  char* text = nullptr;
  long size = ok ? BIO_get_mem_data(out, &text) : 0;
  if (size > 0) text_.assign(text, static_cast<std::size_t>(size));
  // The memory BIO may hold a private key's text: wipe it before freeing.
  if (size > 0) OPENSSL_cleanse(text, static_cast<std::size_t>(size));
  BIO_free(out);
  EVP_PKEY_free(key);
}

RSA_Key_Writer::~RSA_Key_Writer() {}
