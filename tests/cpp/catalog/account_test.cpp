#include <sys/stat.h>

#include <gtest/gtest.h>

#include "catalog/catalog.h"
#include "test_support.h"
#include "util/util.h"

namespace {

// Gives each test an empty <panel>/data and removes what it wrote.
class PanelData : public ::testing::Test {
 protected:
  void SetUp() override {
    mkdir(get_path().c_str(), 0755);
    mkdir(data().c_str(), 0755);
    Clean();
  }
  void TearDown() override { Clean(); }
  static std::string data() { return get_path() + "/data"; }
  static void Clean() {
    unlink((data() + "/userInfo.json").c_str());
    unlink((data() + "/iplist.txt").c_str());
  }
};

std::string account(const std::string& file_text, bool* ok) {
  if (!file_text.empty()) write_bytes(get_path() + "/data/userInfo.json", file_text);
  rapidjson::Document doc;
  *ok = get_user_info(doc);
  return *ok ? toString(doc) : std::string();
}

}  // namespace

TEST_F(PanelData, AccountFileVariants) {
  bool ok = false;
  const std::string fallback = "{\"uid\":0,\"server_id\":\"OFF\",\"token\":\"\"}";
  EXPECT_EQ(account("", &ok), fallback);  // no file
  EXPECT_TRUE(ok);
  EXPECT_EQ(account("{\"id\":7,\"server_id\":\"S\",\"token\":\"T\"}", &ok),
            "{\"id\":7,\"server_id\":\"S\",\"token\":\"T\",\"uid\":7}");
  EXPECT_EQ(account("{\"uid\":3,\"server_id\":\"S\"}", &ok), fallback);  // no token
  EXPECT_EQ(account("{\"uid\":\"3\",\"server_id\":\"S\",\"token\":\"\"}", &ok), fallback);
  EXPECT_EQ(account("not json", &ok), fallback);
  EXPECT_TRUE(ok);
  for (const char* not_object : {"[1,2]", "5", "\"s\"", "true", "null"}) {
    account(not_object, &ok);
    EXPECT_FALSE(ok) << not_object;
  }
}

TEST_F(PanelData, AccountNumberIsUnsigned32Bit) {
  rapidjson::Document doc;
  ASSERT_TRUE(parse_json(doc, "{\"uid\":-1}"));
  EXPECT_EQ(account_number(doc), "4294967295");
  ASSERT_TRUE(parse_json(doc, "{\"uid\":4294967297}"));
  EXPECT_EQ(account_number(doc), "1");
  ASSERT_TRUE(parse_json(doc, "{\"uid\":\"x\",\"id\":12}"));
  EXPECT_EQ(account_number(doc), "12");
  ASSERT_TRUE(parse_json(doc, "{\"uid\":1.5}"));
  EXPECT_EQ(account_number(doc), "0");
}

TEST_F(PanelData, LocalAddressIsFirstNonEmptyLine) {
  EXPECT_EQ(get_local_address(), "");
  write_bytes(data() + "/iplist.txt", "\n\n10.1.2.3\n10.9.9.9\n");
  EXPECT_EQ(get_local_address(), "10.1.2.3");
  write_bytes(data() + "/iplist.txt", "10.1.2.3  ");
  EXPECT_EQ(get_local_address(), "10.1.2.3  ");
  write_bytes(data() + "/iplist.txt", "\n\n");
  EXPECT_EQ(get_local_address(), "");
}

TEST(EnvironmentInfo, BenignValuesGiveTheFixedText) {
  EnvironmentInfo info{
      "1024",  "0xde", "0x1a2b3c4d", "Linux-6.1-x86_64-with-glibc2.36", "52:54:00:ab:cd:ef",
      "web01", "OFF",  "10.0.0.5"};
  EXPECT_EQ(environment_info_json(info),
            "{\"ramid\":\"1024\",\"cpuid\":\"0xde\",\"hdid\":\"0x1a2b3c4d\","
            "\"os\":\"Linux-6.1-x86_64-with-glibc2.36\",\"mac\":\"52:54:00:ab:cd:ef\","
            "\"server_name\":\"web01\",\"install_code\":\"OFF\",\"is_ipv6\":0,"
            "\"ip\":\"10.0.0.5\"}");
}

TEST(EnvironmentInfo, HostileValuesStayInsideTheirStrings) {
  EnvironmentInfo info{"0",   "",
                       "",    "os\\",
                       "",    "evil\",\"install_code\":\"X",
                       "OFF", std::string("1.2.3.4\r\t\0\x01", 11)};
  std::string text = environment_info_json(info);
  rapidjson::Document doc;
  ASSERT_TRUE(parse_json(doc, text.c_str())) << text;
  ASSERT_TRUE(doc.IsObject());
  const char* order[] = {"ramid",       "cpuid",        "hdid",    "os", "mac",
                         "server_name", "install_code", "is_ipv6", "ip"};
  ASSERT_EQ(doc.MemberCount(), 9u);
  int i = 0;
  for (auto it = doc.MemberBegin(); it != doc.MemberEnd(); ++it, ++i) {
    EXPECT_STREQ(it->name.GetString(), order[i]);
  }
  EXPECT_STREQ(doc["server_name"].GetString(), "evil\",\"install_code\":\"X");
  EXPECT_STREQ(doc["install_code"].GetString(), "OFF");
  EXPECT_STREQ(doc["os"].GetString(), "os\\");
  EXPECT_EQ(std::string(doc["ip"].GetString(), doc["ip"].GetStringLength()), info.ip);
  EXPECT_TRUE(doc["is_ipv6"].IsInt() && doc["is_ipv6"].GetInt() == 0);
  EXPECT_EQ(text.find(' '), std::string::npos);
}

TEST(CatalogDocument, FailedParseLeavesNull) {
  rapidjson::Document doc;
  EXPECT_TRUE(reload_catalog_document(doc, "{\"list\":[1]}"));
  EXPECT_TRUE(doc.IsObject());
  EXPECT_FALSE(reload_catalog_document(doc, "{\"list\":["));
  EXPECT_TRUE(doc.IsNull());
  EXPECT_FALSE(reload_catalog_document(doc, std::string(100000, '[')));
  EXPECT_TRUE(doc.IsNull());
}
