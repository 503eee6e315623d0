// to_json and toString on any text: a text that parses writes out as compact
// JSON that parses again to the same value, and to_json agrees with the
// strict parser used everywhere else.
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = as_text(data, size);
  rapidjson::Document doc;
  const bool parsed = to_json(text, doc);
  rapidjson::Document other;
  FUZZ_CHECK(parse_json(other, text.c_str()) == parsed);
  if (!parsed) return 0;

  // A number too large for a double parses as infinity, which JSON cannot
  // hold: such a value writes as the failure text "{}".
  const std::string written = toString(doc);
  rapidjson::Document reread;
  FUZZ_CHECK(to_json(written, reread));
  if (has_non_finite(doc)) {
    FUZZ_CHECK(written == "{}");
  } else {
    FUZZ_CHECK(same_value(reread, doc));
  }
  return 0;
}
