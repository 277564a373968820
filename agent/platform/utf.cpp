#include "agent/platform/utf.h"

#include <cstdint>
#include <cstring>

namespace {

const char32_t replacement_char = 0xFFFD;

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp <= 0xFFFF) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | ((cp >> 18) & 0x07));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Decodes the well-formed sequence at text[i]: its length, or 0 when the
// byte there does not start one (overlong, surrogate, above U+10FFFF, cut
// short, or a stray continuation byte).
std::size_t decode_utf8(const char* text, std::size_t size, std::size_t i,
                        char32_t& cp) {
  const auto byte = [&](std::size_t k) {
    return static_cast<unsigned char>(text[k]);
  };
  const unsigned char b0 = byte(i);
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  }
  std::size_t n;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    n = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    n = 3;
    if (b0 == 0xE0) lo = 0xA0;  // overlong below U+0800
    if (b0 == 0xED) hi = 0x9F;  // UTF-16 surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    n = 4;
    if (b0 == 0xF0) lo = 0x90;  // overlong below U+10000
    if (b0 == 0xF4) hi = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (size - i < n) return 0;
  const unsigned char b1 = byte(i + 1);
  if (b1 < lo || b1 > hi) return 0;
  char32_t v = b0 & (0xFF >> (n + 1));
  for (std::size_t k = 1; k < n; ++k) {
    const unsigned char b = byte(i + k);
    if ((b & 0xC0) != 0x80) return 0;
    v = (v << 6) | (b & 0x3F);
  }
  cp = v;
  return n;
}

}  // namespace

std::string utf16_to_utf8(const wchar_t* units, std::size_t length) {
  std::string out;
  if (!units) return out;
  // wchar_t is 32 bits on Linux, but only the low 16 carry a UTF-16 unit.
  const auto unit = [&](std::size_t k) {
    return static_cast<std::uint32_t>(units[k]) & 0xFFFF;
  };
  for (std::size_t i = 0; i < length && unit(i) != 0; ++i) {
    std::uint32_t cp = unit(i);
    // A lead whose next unit is the end (length or terminator) is written
    // alone, so the terminator is never consumed and nothing past it read.
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < length && unit(i + 1) != 0) {
      const std::uint32_t trail = unit(++i);
      cp = (cp - 0xD800) * 0x400 + trail - 0xDC00 + 0x10000;
    }
    append_utf8(out, cp);
  }
  return out;
}

std::wstring utf8_to_utf16(const std::string& text) {
  std::wstring out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    char32_t cp;
    std::size_t n = decode_utf8(text.data(), text.size(), i, cp);
    if (n == 0) {
      cp = replacement_char;
      n = 1;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<wchar_t>(0xD800 + (cp >> 10));
      out += static_cast<wchar_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<wchar_t>(cp);
    }
    i += n;
  }
  return out;
}

bool is_valid_utf8(const char* text, std::size_t length) {
  const std::uint64_t high_bits = 0x8080808080808080ULL;
  for (std::size_t i = 0; i < length;) {
    // Most text is ASCII: pass it eight bytes at a time.
    std::uint64_t word;
    if (length - i >= sizeof word) {
      std::memcpy(&word, text + i, sizeof word);
      if ((word & high_bits) == 0) {
        i += sizeof word;
        continue;
      }
    }
    const unsigned char b0 = static_cast<unsigned char>(text[i]);
    if (b0 < 0x80) {
      ++i;
      continue;
    }
    // Two-byte forms (Latin, Greek, Cyrillic, ...) without a full decode.
    if (b0 >= 0xC2 && b0 <= 0xDF && i + 1 < length &&
        (static_cast<unsigned char>(text[i + 1]) & 0xC0) == 0x80) {
      i += 2;
      continue;
    }
    char32_t cp;
    const std::size_t n = decode_utf8(text, length, i, cp);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

bool is_valid_utf8(const std::string& text) {
  return is_valid_utf8(text.data(), text.size());
}

std::string sanitize_utf8(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    char32_t cp;
    const std::size_t n = decode_utf8(text.data(), text.size(), i, cp);
    if (n == 0) {
      append_utf8(out, replacement_char);
      ++i;
    } else {
      out.append(text, i, n);
      i += n;
    }
  }
  return out;
}
