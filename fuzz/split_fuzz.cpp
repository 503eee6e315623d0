// split against the cut rule of strtok: input is a separator set (one length
// byte, then the set) followed by the text.
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string separators = take_piece(data, size);
  const std::string text = as_text(data, size);
  const std::vector<std::string> pieces = split(text, separators);

  // The reference: strtok_r over the text and the set, each up to its first
  // NUL; an empty set leaves the whole text as one piece.
  const std::string whole(text.c_str());
  const std::string seps(separators.c_str());
  std::vector<std::string> expected;
  if (seps.empty()) {
    if (!whole.empty()) expected.push_back(whole);
  } else {
    std::vector<char> buffer(whole.begin(), whole.end());
    buffer.push_back('\0');
    char* state = nullptr;
    for (char* t = strtok_r(buffer.data(), seps.c_str(), &state); t != nullptr;
         t = strtok_r(nullptr, seps.c_str(), &state)) {
      expected.emplace_back(t);
    }
  }
  FUZZ_CHECK(pieces == expected);
  for (const std::string& piece : pieces) FUZZ_CHECK(!piece.empty());
  return 0;
}
