// Text the agent hands a caller only to have it given back later, such as a
// listing's cursor: the caller may keep it and send it again, but cannot
// make one, nor change one unnoticed, nor move one to another context. The
// seal is an HMAC-SHA256 under a key drawn at random once per process, so
// texts sealed before a restart no longer open after it.
#ifndef TEXT_SEALED_TEXT_H
#define TEXT_SEALED_TEXT_H

#include <string>

// `payload` and its seal as URL-safe base64 (no padding). `context` is
// sealed with it but not carried: the same context must be given to open
// it. "" when no key could be made (the random source failed).
std::string seal_text(const std::string& payload, const std::string& context);

// The payload of a text seal_text made in this process with the same
// context; false for anything else.
bool open_sealed_text(const std::string& text, const std::string& context,
                      std::string& payload);

#endif
