// Which long answers of the service become the catalog: only what the
// listing (UTF-8 decoding and json.loads) can show.
#include <gtest/gtest.h>

#include <string>

#include "catalog/catalog.h"

TEST(CatalogAnswer, OnlyWhatTheListingCanShowBecomesTheCatalog) {
  // The answer's object and its "list" array are two levels already.
  const auto nested = [](size_t d) { return std::string(d, '[') + std::string(d, ']'); };
  const struct {
    const char* what;
    std::string item;
    bool taken;
  } cases[] = {
      {"UTF-8 name", "\"\xe4\xb8\xad\xe6\x96\x87\"", true},
      {"GBK name", "\"\xd6\xd0\xce\xc4\"", false},
      {"overlong encoding", "\"\xe0\x80\xaf\"", false},
      {"encoded surrogate", "\"\xed\xa0\x80\"", false},
      {"beyond U+10FFFF", "\"\xf4\x90\x80\x80\"", false},
      {"cut sequence", "\"\xe4\xb8\"", false},
      {"number out of range", "1e400", false},
      {"nested at the limit", nested(kCatalogMaxDepth - 2), true},
      {"nested past the limit", nested(kCatalogMaxDepth - 1), false},
      {"brackets in strings", "\"" + std::string(600, '[') + "\\\"{\",\"\\\\\"", true},
      {"escaped backslash ends a string", "\"\\\\\"," + nested(kCatalogMaxDepth - 1), false},
  };
  for (const auto& c : cases) {
    std::string answer = "{\"list\":[" + c.item + "],\"pad\":\"" + std::string(9000, 'x') + "\"}";
    rapidjson::Document doc;
    doc.Parse("{\"old\":1}");
    EXPECT_EQ(take_catalog_answer(doc, answer),
              c.taken ? CatalogAnswer::kCatalog : CatalogAnswer::kErrorReply)
        << c.what;
    EXPECT_EQ(doc.IsNull(), !c.taken) << c.what;  // refused: no document, as a failed parse
  }
}

TEST(CatalogAnswer, PastTheBoundOnlyItsStartIsKeptAsAnErrorReply) {
  const std::string pad(9000, 'x');
  std::string answer = "{\"list\":[],\"pad\":\"" + pad + "\"}";
  const std::string start = answer.substr(0, kErrorReplyMaxLength);
  rapidjson::Document doc;
  doc.Parse("{\"old\":1}");
  EXPECT_EQ(take_catalog_answer(doc, answer, answer.size() - 1), CatalogAnswer::kErrorReply);
  EXPECT_EQ(answer, start);
  EXPECT_TRUE(doc.HasMember("old")) << "never parsed";

  answer = "{\"list\":[],\"pad\":\"" + pad + "\"}";
  EXPECT_EQ(take_catalog_answer(doc, answer, answer.size()), CatalogAnswer::kCatalog);
}

TEST(CatalogAnswer, DuplicateRootNamesKeepTheLastValueInTheFirstPlace) {
  // As json.loads reads it: {"list": "x", "a": 3, "pad": ...}; nested
  // objects are left as they are.
  std::string answer = "{\"list\":[1],\"a\":{\"b\":1,\"b\":2},\"list\":\"x\",\"a\":3,\"pad\":\"" +
                       std::string(9000, 'x') + "\"}";
  rapidjson::Document doc;
  ASSERT_EQ(take_catalog_answer(doc, answer), CatalogAnswer::kCatalog);
  ASSERT_EQ(doc.MemberCount(), 3u);
  auto m = doc.MemberBegin();
  EXPECT_STREQ(m[0].name.GetString(), "list");
  EXPECT_STREQ(m[0].value.GetString(), "x");
  EXPECT_STREQ(m[1].name.GetString(), "a");
  EXPECT_EQ(m[1].value.GetInt(), 3);
  EXPECT_STREQ(m[2].name.GetString(), "pad");

  ASSERT_TRUE(reload_catalog_document(doc, "{\"list\":\"x\",\"list\":[]}"));
  EXPECT_EQ(doc.MemberCount(), 1u);
  EXPECT_TRUE(doc["list"].IsArray());
}
