// to_json and toString on any text: a text that parses writes out as compact
// JSON that parses again to the same value, and to_json agrees with the
// strict parser used everywhere else.
#include <cmath>

#include "fuzz/fuzz_support.h"

namespace {

// Equal values; numbers written as doubles may come back a last bit off, as
// the default parse is not a full-precision one.
bool same_value(const rapidjson::Value& a, const rapidjson::Value& b) {
  if (a.IsDouble() || b.IsDouble()) {
    if (!a.IsNumber() || !b.IsNumber()) return false;
    const double x = a.GetDouble();
    const double y = b.GetDouble();
    return x == y || std::fabs(x - y) <= 1e-12 * std::fmax(std::fabs(x), std::fabs(y));
  }
  if (a.GetType() != b.GetType()) return false;
  if (a.IsArray()) {
    if (a.Size() != b.Size()) return false;
    for (rapidjson::SizeType i = 0; i < a.Size(); ++i) {
      if (!same_value(a[i], b[i])) return false;
    }
    return true;
  }
  if (a.IsObject()) {
    if (a.MemberCount() != b.MemberCount()) return false;
    for (auto ia = a.MemberBegin(), ib = b.MemberBegin(); ia != a.MemberEnd(); ++ia, ++ib) {
      if (!(ia->name == ib->name) || !same_value(ia->value, ib->value)) return false;
    }
    return true;
  }
  return a == b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = as_text(data, size);
  rapidjson::Document doc;
  const bool parsed = to_json(text, doc);
  rapidjson::Document other;
  FUZZ_CHECK(parse_json(other, text.c_str()) == parsed);
  if (!parsed) return 0;

  const std::string written = toString(doc);
  FUZZ_CHECK(!written.empty());
  rapidjson::Document reread;
  FUZZ_CHECK(to_json(written, reread));
  FUZZ_CHECK(same_value(reread, doc));
  return 0;
}
