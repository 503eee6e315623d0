#include "transport/route.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <utility>

#include "build_config.h"
#include "loader/loader.h"
#include "transport/panel_file.h"
#include "util/util.h"

namespace {

const std::string kNode = std::string("api-node7.") + PL_SERVICE_DOMAIN;

class RouteTest : public ::testing::Test {
 protected:
  PanelDataFile file_{"node_url.pl"};
  const std::string default_route_ = host + "/api/panel";
};

TEST_F(RouteTest, UnusableRoutingFilesGiveTheDefaultRouteAndSayWhy) {
  std::string why;
  EXPECT_EQ(_get_route(), default_route_) << "no file";
  EXPECT_EQ(_get_route_py(), default_route_) << "no file";
  EXPECT_EQ(resolve_route(true, &why), default_route_);
  EXPECT_EQ(why, "no routing file");

  const std::string domain = PL_SERVICE_DOMAIN;
  const std::string foreign = "\"url\" is outside the service's domain (its host is neither " +
                              domain + " nor a name ending in \"." + domain + "\")";
  const std::pair<std::string, std::string> cases[] = {
      {"", "not valid JSON"},
      {"{}", "no \"api-node\" object"},
      {"[]", "not a JSON object"},
      {"null", "not a JSON object"},
      {"42", "not a JSON object"},
      {"{\"api-node\": {\"url\": \"" + kNode + "\"", "not valid JSON"},     // broken
      {"{\"api-node\": {\"url\": \"" + kNode + "\",}}", "not valid JSON"},  // trailing comma
      {"{\"api-node\": \"" + kNode + "\"}", "no \"api-node\" object"},
      {"{\"api-node\": [\"" + kNode + "\"]}", "no \"api-node\" object"},
      {"{\"api-node\": {}}", "\"api-node\" has no \"url\" string"},
      {"{\"api-node\": {\"url\": 7}}", "\"api-node\" has no \"url\" string"},
      {"{\"api-node\": {\"url\": \"\", \"ip\": \"10.0.0.5\"}}", "\"url\" is empty"},
      {"{\"api-node\": {\"url\": \"api-node7.foreign.example\", \"ip\": \"10.0.0.5\"}}", foreign},
      {std::string("{\"api-node\": {\"url\": \"www.") + PL_SERVICE_DOMAIN + "\"}}",
       "\"url\" does not contain \"api-node\""},
      // the domain without the dot in front of it
      {std::string("{\"api-node\": {\"url\": \"api-node") + PL_SERVICE_DOMAIN + "\"}}", foreign},
      {"{\"node\": {\"url\": \"" + kNode + "\"}}", "no \"api-node\" object"},
  };
  for (const auto& [text, reason] : cases) {
    file_.write(text);
    EXPECT_EQ(_get_route(), default_route_) << text;
    EXPECT_EQ(_get_route_py(), default_route_) << text;
    EXPECT_EQ(resolve_route(false, &why), default_route_) << text;
    EXPECT_EQ(why, reason) << text;
  }

  // A usable file clears what an earlier call left in why.
  file_.write("{\"api-node\": {\"url\": \"" + kNode + "\"}}");
  EXPECT_EQ(resolve_route(true, &why), "http://" + kNode + "/api/panel");
  EXPECT_EQ(why, "");
}

TEST_F(RouteTest, NodeWithoutUsableIpGivesPlainNodeRoute) {
  const std::string plain = "http://" + kNode + "/api/panel";
  for (const std::string ip : {"", ", \"ip\": 5", ", \"ip\": null", ", \"ip\": [\"10.0.0.5\"]"}) {
    file_.write("{\"other\": 1, \"api-node\": {\"url\": \"" + kNode + "\"" + ip + "}}");
    EXPECT_EQ(_get_route(), plain) << ip;
    EXPECT_EQ(_get_route_py(), plain) << ip;
  }
}

TEST_F(RouteTest, IpPinGivesNodeFormOnlyToGetRoute) {
  file_.write("{\"api-node\": {\"url\": \"" + kNode + "\", \"ip\": \"10.0.0.5\"}}");
  EXPECT_EQ(_get_route(), kNode + "#http://10.0.0.5/api/panel");
  EXPECT_EQ(_get_route_py(), "http://" + kNode + "/api/panel");

  // An empty address is passed on as it is.
  file_.write("{\"api-node\": {\"url\": \"" + kNode + "\", \"ip\": \"\"}}");
  EXPECT_EQ(_get_route(), kNode + "#http:///api/panel");
}

TEST_F(RouteTest, OnlyAHostNameIsANodeRoute) {
  const std::string node = "api-node." + std::string(PL_SERVICE_DOMAIN);
  // Each holds "api-node" and the domain, but names (or smuggles a header
  // to) another host; "\\" is one backslash once the JSON is read.
  for (const std::string& url :
       {"evil.example/" + node, "evil.example?" + node, "evil.example#" + node,
        node + "@evil.example", "evil.example\\\\" + node, node + " evil.example",
        node + "\\r\\nX-Injected: 1", node + ":", node + ":http", node + ":80:81", node + ":65536",
        node + ":0", ":8080/" + node}) {
    const std::string text = "{\"api-node\": {\"url\": \"" + url + "\", \"ip\": \"10.0.0.5\"}}";
    rapidjson::Document doc;
    ASSERT_TRUE(to_json(text, doc)) << text;
    file_.write(text);
    EXPECT_EQ(_get_route(), default_route_) << url;
    EXPECT_EQ(_get_route_py(), default_route_) << url;
  }
  for (const std::string& url : {"A_1." + node, node + ":8080", node + ":65535"}) {
    file_.write("{\"api-node\": {\"url\": \"" + url + "\"}}");
    EXPECT_EQ(_get_route(), "http://" + url + "/api/panel") << url;
  }
}

TEST_F(RouteTest, OnlyAHostOfTheServiceDomainIsANodeRoute) {
  const std::string domain = PL_SERVICE_DOMAIN;
  // Each holds "api-node" and "." + the domain, yet names another host.
  for (const std::string& url :
       {"api-node." + domain + ".evil.example", "api-node." + domain + "x.example",
        "evil-api-node." + domain + "-evil.example", "api-node." + domain + ".:80"}) {
    file_.write("{\"api-node\": {\"url\": \"" + url + "\", \"ip\": \"10.0.0.5\"}}");
    EXPECT_EQ(_get_route(), default_route_) << url;
  }
  std::string upper = domain;  // host names are the same in any case
  for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  upper = "api-node1." + upper + ":8080";
  file_.write("{\"api-node\": {\"url\": \"" + upper + "\"}}");
  EXPECT_EQ(_get_route_py(), "http://" + upper + "/api/panel");
}

TEST(TlsVerifyTest, OnlyHttpsUrlsAndOnlyWhenTheSettingIsOn) {
  for (const char* url : {"https://www.example.test/api/panel", "HTTPS://h/"}) {
    EXPECT_TRUE(tls_verify_for(url, true)) << url;
    EXPECT_FALSE(tls_verify_for(url, false)) << url;
  }
  for (const char* url :
       {"http://api-node1.example.test/api/panel", "https:/h", "", "h/https://"}) {
    EXPECT_FALSE(tls_verify_for(url, true)) << url;
  }
}

TEST_F(RouteTest, FileIsReadAgainOnEveryCall) {
  file_.write("{\"api-node\": {\"url\": \"" + kNode + "\", \"ip\": \"10.0.0.5\"}}");
  EXPECT_EQ(_get_route(), kNode + "#http://10.0.0.5/api/panel");
  file_.write("{\"api-node\": {\"url\": \"" + kNode + "\", \"ip\": \"10.0.0.6\"}}");
  EXPECT_EQ(_get_route(), kNode + "#http://10.0.0.6/api/panel");
  file_.remove();
  EXPECT_EQ(_get_route(), default_route_);
}

}  // namespace
