// What the catalog download makes of any answer of the service.  The first
// input byte chooses whether the answer is padded with blanks past the
// error-reply length, so that both sides of that line are reached.
#include "catalog/catalog.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool pad = (data[0] & 1) != 0;
  std::string answer = as_text(data + 1, size - 1);
  if (pad) answer.append(8193, ' ');
  const std::string cut(answer.c_str());

  rapidjson::Document doc;
  doc.Parse("{\"before\":1}");
  const CatalogAnswer kind = take_catalog_answer(doc, answer);
  FUZZ_CHECK(answer == cut);

  rapidjson::Document parsed;
  const bool parses = to_json(cut, parsed);
  if (cut.empty()) {
    FUZZ_CHECK(kind == CatalogAnswer::kNone && doc.HasMember("before"));
  } else if (cut.size() <= 8192) {
    FUZZ_CHECK(kind == CatalogAnswer::kErrorReply && doc.HasMember("before"));
  } else if (parses) {
    FUZZ_CHECK(kind == CatalogAnswer::kCatalog && same_value(doc, parsed));
  } else {
    FUZZ_CHECK(kind == CatalogAnswer::kErrorReply && doc.IsNull());
  }

  // A catalog taken this way is what the listing's own parse gives.
  if (kind == CatalogAnswer::kCatalog) {
    rapidjson::Document reloaded;
    FUZZ_CHECK(reload_catalog_document(reloaded, cut) && same_value(reloaded, doc));
  }
  return 0;
}
