// trim on any bytes: the result is the text without its leading and trailing
// C-locale white space, and nothing inside changes.
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string original = as_text(data, size);
  std::string text = original;
  trim(text);

  static const char kSpace[] = " \t\n\v\f\r";
  const size_t first = original.find_first_not_of(kSpace);
  if (first == std::string::npos) {
    FUZZ_CHECK(text.empty());
  } else {
    const size_t last = original.find_last_not_of(kSpace);
    FUZZ_CHECK(text == original.substr(first, last - first + 1));
  }
  std::string again = text;
  trim(again);
  FUZZ_CHECK(again == text);
  return 0;
}
