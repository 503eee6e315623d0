// The field cipher's reading of a stored text (field_decrypt) on any text,
// and the round trip of any one-line value through field_encrypt.
#include "crypto/base64.h"
#include "crypto/field_cipher.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string key = db_field_key().text();
  static const std::string iv = db_fallback_iv().text();

  const std::string text = as_text(data, size);
  const std::string value = field_decrypt(key, iv, text);
  // The value ends at its first NUL and is never longer than what decoded.
  FUZZ_CHECK(value.find('\0') == std::string::npos);
  FUZZ_CHECK(value.size() <= base64_decode(text).size());

  const std::string plain(text.c_str());  // values never hold a NUL
  const std::string stored = field_encrypt(key, iv, plain);
  const size_t cipher_bytes = (plain.size() / 16 + 1) * 16;  // 1 to 16 bytes of padding
  FUZZ_CHECK(stored.size() == (cipher_bytes + 2) / 3 * 4);
  FUZZ_CHECK(base64_decode(stored).size() == cipher_bytes);
  FUZZ_CHECK(field_decrypt(key, iv, stored) == plain);
  return 0;
}
