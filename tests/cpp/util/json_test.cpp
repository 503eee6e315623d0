#include <gtest/gtest.h>

#include "test_support.h"
#include "util/util.h"

TEST(ConfigJson, FileValueOrEmptyObject) {
  ScratchDir dir;
  rapidjson::Document doc;
  write_bytes(dir.file("arr"), "[1,2]");
  EXPECT_TRUE(get_config_json(dir.file("arr"), doc));
  ASSERT_TRUE(doc.IsArray());
  EXPECT_EQ(doc.Size(), 2u);

  write_bytes(dir.file("brace"), "{");
  EXPECT_TRUE(get_config_json(dir.file("brace"), doc));
  ASSERT_TRUE(doc.IsObject());
  EXPECT_EQ(doc.MemberCount(), 0u);

  EXPECT_TRUE(get_config_json(dir.file("missing"), doc));
  ASSERT_TRUE(doc.IsObject());
  EXPECT_EQ(doc.MemberCount(), 0u);

  write_bytes(dir.file("obj"), "{\"uid\": 5, \"token\": \"t\"}\n");
  EXPECT_TRUE(get_config_json(dir.file("obj"), doc));
  ASSERT_TRUE(doc.IsObject());
  EXPECT_EQ(doc["uid"].GetInt(), 5);
}

TEST(ConfigJson, StrictParseRejectsExtensions) {
  ScratchDir dir;
  rapidjson::Document doc;
  for (const char* text : {"{\"a\":1,}", "// c\n{}", "[NaN]", "{'a':1}"}) {
    write_bytes(dir.file("x"), text);
    EXPECT_TRUE(get_config_json(dir.file("x"), doc));
    EXPECT_TRUE(doc.IsObject() && doc.MemberCount() == 0) << text;
  }
}

TEST(ConfigJson, OversizedFileBecomesEmptyObject) {
  ScratchDir dir;
  std::string big = "[\"" + std::string(kConfigBufferSize, 'x') + "\"]";
  write_bytes(dir.file("big"), big);
  rapidjson::Document doc;
  EXPECT_TRUE(get_config_json(dir.file("big"), doc));
  EXPECT_TRUE(doc.IsObject() && doc.MemberCount() == 0);
}

TEST(ToJson, DeepNestingIsAnErrorNotACrash) {
  rapidjson::Document doc;
  EXPECT_TRUE(to_json(std::string(200000, '[') + std::string(200000, ']'), doc));
  EXPECT_FALSE(to_json(std::string(200000, '['), doc));
  EXPECT_FALSE(to_json("", doc));
  EXPECT_TRUE(to_json(std::string("{}\0garbage", 10), doc));
}

TEST(ToString, CompactWithEscapes) {
  rapidjson::Document doc;
  ASSERT_TRUE(to_json("{ \"a\" : [1, 2], \"b\": \"q\\\"\\\\\\n\xc3\xa9\" }", doc));
  EXPECT_EQ(toString(doc), "{\"a\":[1,2],\"b\":\"q\\\"\\\\\\n\xc3\xa9\"}");
}

TEST(ReturnMsg, MembersInOrderDataOnlyWhenGiven) {
  EXPECT_EQ(returnMsg(true, "ok", ""), "{\"status\":true,\"msg\":\"ok\"}");
  EXPECT_EQ(returnMsg(true, "ok", "").size(), 26u);
  EXPECT_EQ(returnMsg(false, "error", ""), "{\"status\":false,\"msg\":\"error\"}");
  EXPECT_EQ(returnMsg(true, "ok", "x"), "{\"status\":true,\"msg\":\"ok\",\"data\":\"x\"}");
  // The message is GBK: the two bytes C4 E3 are the character U+4F60.
  EXPECT_EQ(returnMsg(true, "\xc4\xe3", ""), "{\"status\":true,\"msg\":\"\xe4\xbd\xa0\"}");
}
