// replace_all on any text, pattern and replacement (each of the first two
// given as a length byte and its bytes, the text the rest): the result's
// length follows from the number of matches found left to right without
// overlap, and putting the pattern back restores the text when the
// replacement cannot be confused with anything else.
#include "fuzz/fuzz_support.h"

namespace {

size_t count_matches(const std::string& text, const std::string& pattern) {
  size_t n = 0;
  for (size_t pos = text.find(pattern); pos != std::string::npos;
       pos = text.find(pattern, pos + pattern.size())) {
    ++n;
  }
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string pattern = take_piece(data, size);
  const std::string replacement = take_piece(data, size);
  const std::string original = as_text(data, size);
  std::string text = original;
  std::string& same = replace_all(text, pattern, replacement);
  FUZZ_CHECK(&same == &text);

  if (pattern.empty()) {
    FUZZ_CHECK(text == original);
    return 0;
  }
  const size_t matches = count_matches(original, pattern);
  FUZZ_CHECK(text.size() + matches * pattern.size() ==
             original.size() + matches * replacement.size());
  if (matches == 0) FUZZ_CHECK(text == original);
  // A replacement byte that occurs nowhere in the original marks each
  // replaced place exactly, so the inverse replacement restores the text.
  if (replacement.size() == 1 && original.find(replacement) == std::string::npos &&
      pattern.find(replacement) == std::string::npos) {
    std::string back = text;
    replace_all(back, replacement, pattern);
    FUZZ_CHECK(back == original);
  }
  return 0;
}
