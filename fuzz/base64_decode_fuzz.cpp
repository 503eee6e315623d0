// base64_decode on any text: the decoded length follows from the accepted
// prefix, and encoding then decoding gives the bytes back.
#include "crypto/base64.h"
#include "fuzz/fuzz_support.h"

namespace {

bool in_alphabet(char c) { return base64_chars.find(c) != std::string::npos && c != '\0'; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = as_text(data, size);
  const std::string decoded = base64_decode(text);

  size_t accepted = 0;
  while (accepted < text.size() && in_alphabet(text[accepted])) ++accepted;
  const size_t tail = accepted % 4;
  const size_t expected = accepted / 4 * 3 + (tail == 2 ? 1 : tail == 3 ? 2 : 0);
  FUZZ_CHECK(decoded.size() == expected);

  const std::string encoded = base64_encode(reinterpret_cast<const unsigned char*>(text.data()),
                                            static_cast<uint32_t>(text.size()));
  FUZZ_CHECK(encoded.size() == (text.size() + 2) / 3 * 4);
  FUZZ_CHECK(base64_decode(encoded) == text);
  return 0;
}
