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
      {"brackets in strings", "\"\\\"" + std::string(600, '[') + "{\",\"\\\\\"", true},
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

TEST(CatalogAnswer, RootMembersAsJsonLoadsTakesThemAndOverlongAnswersUnparsed) {
  // One member of each name, where its first stood, with its last value; the
  // members after a duplicate move up in their order.
  std::string answer = "{\"list\":\"x\",\"pad\":\"" + std::string(9000, 'x') +
                       "\",\"list\":[1],\"type\":[2],\"pad\":0,\"tail\":3}";
  rapidjson::Document doc;
  ASSERT_EQ(take_catalog_answer(doc, answer), CatalogAnswer::kCatalog);
  std::string names;
  for (const auto& m : doc.GetObject()) names += std::string(m.name.GetString()) + " ";
  EXPECT_EQ(names, "list pad type tail ");
  EXPECT_TRUE(doc["list"].IsArray());
  EXPECT_EQ(doc["pad"].GetInt(), 0);

  // Past the bound, only the start is kept, as an error reply, never parsed.
  const std::string start = answer.substr(0, kErrorReplyMaxLength);
  doc.Parse("{\"old\":1}");
  EXPECT_EQ(take_catalog_answer(doc, answer, answer.size() - 1), CatalogAnswer::kErrorReply);
  EXPECT_EQ(answer, start);
  EXPECT_TRUE(doc.HasMember("old"));
}
