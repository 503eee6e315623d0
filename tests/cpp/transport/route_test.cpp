#include "transport/route.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "build_config.h"
#include "loader/loader.h"
#include "transport/panel_file.h"

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

  const std::string foreign = "\"url\" is outside the service's domain (no \"." +
                              std::string(PL_SERVICE_DOMAIN) + "\" in it)";
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

TEST_F(RouteTest, FileIsReadAgainOnEveryCall) {
  file_.write("{\"api-node\": {\"url\": \"" + kNode + "\", \"ip\": \"10.0.0.5\"}}");
  EXPECT_EQ(_get_route(), kNode + "#http://10.0.0.5/api/panel");
  file_.write("{\"api-node\": {\"url\": \"" + kNode + "\", \"ip\": \"10.0.0.6\"}}");
  EXPECT_EQ(_get_route(), kNode + "#http://10.0.0.6/api/panel");
  file_.remove();
  EXPECT_EQ(_get_route(), default_route_);
}

}  // namespace
