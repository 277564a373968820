// The text form of a key held as DER bytes: a PEM block, the form operators
// and tools (openssl pkey) read.
#ifndef TEXT_KEY_TEXT_H
#define TEXT_KEY_TEXT_H

#include <cstddef>
#include <memory>
#include <string>

// Bytes that are wiped before their memory goes back (passphrases).
template <class T>
struct Zeroing_Allocator : std::allocator<T> {
  template <class U>
  struct rebind {
    typedef Zeroing_Allocator<U> other;
  };
  Zeroing_Allocator() = default;
  template <class U>
  Zeroing_Allocator(const Zeroing_Allocator<U>&) {}
  void deallocate(T* p, std::size_t n) {
    volatile unsigned char* b = reinterpret_cast<volatile unsigned char*>(p);
    for (std::size_t i = 0; i < n * sizeof(T); ++i) b[i] = 0;
    std::allocator<T>::deallocate(p, n);
  }
};
typedef std::basic_string<char, std::char_traits<char>, Zeroing_Allocator<char>>
    Secure_String;

// `public_key` true: `der` is a SubjectPublicKeyInfo and the text is a
// "PUBLIC KEY" block. False: `der` is a private key and the text a PKCS#8
// block, encrypted with `passphrase` (AES-256) unless it is empty. The text
// is empty when the bytes are not such a key.
class RSA_Key_Writer {
 public:
  RSA_Key_Writer(const unsigned char* der, std::size_t length, bool public_key,
                 const Secure_String& passphrase);
  ~RSA_Key_Writer();
  RSA_Key_Writer(const RSA_Key_Writer&) = delete;
  RSA_Key_Writer& operator=(const RSA_Key_Writer&) = delete;

  const char* data() const { return text_.data(); }
  std::size_t length() const { return text_.size(); }

 private:
  Secure_String text_;
};

#endif
