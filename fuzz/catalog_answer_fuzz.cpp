// What the catalog download makes of any answer of the service.  The first
// input byte chooses whether the answer is padded with blanks past the
// error-reply length, so that both sides of that line are reached, and the
// size bound: the clients' own, or one at most 255 bytes above the padded
// length, so that answers past it are reached too (only its first 8,192 bytes
// are kept, and it is never parsed).  A long answer within the bound must
// become the catalog exactly when the listing can show it: strict JSON, valid
// UTF-8 and nested at most kCatalogMaxDepth deep, each judged here
// independently of the code under test; and the catalog document must hold
// the root members as json.loads makes them (one of each name: the place of
// the first, the value of the last).  A catalog stored that way reads back
// through the listing's bounded read exactly while the file is within the
// bound, and not at all one byte past it.
#include <algorithm>
#include <utility>
#include <vector>

#include "catalog/catalog.h"
#include "fuzz/fuzz_support.h"

namespace {

// Well-formed UTF-8 as the Unicode standard's table of byte sequences gives
// it: no overlong forms, no surrogates, nothing above U+10FFFF.
bool well_formed_utf8(const std::string& text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    const unsigned c = *p;
    size_t n = 0;
    unsigned lo = 0x80, hi = 0xBF;  // range of the second byte
    if (c < 0x80) {
      ++p;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      n = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      n = 2;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      n = 3;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (static_cast<size_t>(end - p) <= n) return false;
    if (p[1] < lo || p[1] > hi) return false;
    for (size_t i = 2; i <= n; ++i) {
      if (p[i] < 0x80 || p[i] > 0xBF) return false;
    }
    p += n + 1;
  }
  return true;
}

// Nesting depth of arrays and objects in a parsed value, walked without
// recursion (a hostile answer may nest tens of thousands deep).
size_t depth_of(const rapidjson::Value& root) {
  size_t deepest = 0;
  std::vector<std::pair<const rapidjson::Value*, size_t>> todo = {{&root, 0}};
  while (!todo.empty()) {
    const auto [v, above] = todo.back();
    todo.pop_back();
    if (v->IsArray()) {
      deepest = std::max(deepest, above + 1);
      for (const auto& item : v->GetArray()) todo.push_back({&item, above + 1});
    } else if (v->IsObject()) {
      deepest = std::max(deepest, above + 1);
      for (const auto& member : v->GetObject()) todo.push_back({&member.value, above + 1});
    }
  }
  return deepest;
}

// The root object as json.loads makes it, written into out: each name once,
// where it first stood, with the value of its last member.
void as_json_loads_would(const rapidjson::Value& root, rapidjson::Document& out) {
  out.CopyFrom(root, out.GetAllocator());
  if (!out.IsObject()) return;
  out.RemoveAllMembers();
  for (const auto& member : root.GetObject()) {
    auto kept = out.FindMember(member.name);
    if (kept == out.MemberEnd()) {
      out.AddMember(rapidjson::Value(member.name, out.GetAllocator()),
                    rapidjson::Value(member.value, out.GetAllocator()), out.GetAllocator());
    } else {
      kept->value.CopyFrom(member.value, out.GetAllocator());
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  make_panel_data_dir();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool pad = (data[0] & 1) != 0;
  const bool small_bound = (data[0] & 2) != 0;
  std::string answer = as_text(data + 1, size - 1);
  if (pad) answer.append(8193, ' ');
  const std::string cut(answer.c_str());
  const size_t bound = small_bound ? 8193 + (data[0] >> 2) * 4 : kAnswerMaxSize;

  rapidjson::Document doc;
  doc.Parse("{\"before\":1}");
  const CatalogAnswer kind = take_catalog_answer(doc, answer, bound);
  if (cut.size() > bound) {
    FUZZ_CHECK(kind == CatalogAnswer::kErrorReply && doc.HasMember("before"));
    FUZZ_CHECK(answer == cut.substr(0, kErrorReplyMaxLength));
    return 0;
  }
  FUZZ_CHECK(answer == cut);

  rapidjson::Document parsed;
  const bool parses = to_json(cut, parsed);
  const bool listable = parses && well_formed_utf8(cut) && depth_of(parsed) <= kCatalogMaxDepth;
  if (cut.empty()) {
    FUZZ_CHECK(kind == CatalogAnswer::kNone && doc.HasMember("before"));
  } else if (cut.size() <= 8192) {
    FUZZ_CHECK(kind == CatalogAnswer::kErrorReply && doc.HasMember("before"));
  } else if (listable) {
    rapidjson::Document expected;
    as_json_loads_would(parsed, expected);
    FUZZ_CHECK(kind == CatalogAnswer::kCatalog && same_value(doc, expected));
  } else {
    FUZZ_CHECK(kind == CatalogAnswer::kErrorReply && doc.IsNull());
  }

  // The depth rule on its own: exact for any text that parses.
  if (parses) {
    const size_t depth = depth_of(parsed);
    FUZZ_CHECK(json_nesting_within(cut, depth));
    FUZZ_CHECK(depth == 0 || !json_nesting_within(cut, depth - 1));
  }

  // A catalog taken this way is what the listing's own parse gives, and
  // what it reads back from the file.
  if (kind == CatalogAnswer::kCatalog) {
    rapidjson::Document reloaded;
    FUZZ_CHECK(reload_catalog_document(reloaded, cut) && same_value(reloaded, doc));
    static const std::string path = catalog_file();
    write_panel_file(path, cut);
    std::string stored = "junk";
    FUZZ_CHECK(read_stored_catalog(path, stored, bound) && stored == cut);
    FUZZ_CHECK(read_stored_catalog(path, stored, cut.size()) && stored == cut);
    FUZZ_CHECK(!read_stored_catalog(path, stored, cut.size() - 1) && stored.empty());
  }
  return 0;
}
