#include "transport/route.h"

#include "build_config.h"
#include "loader/loader.h"
#include "util/util.h"

namespace {

// A node name is accepted only inside the service's own domain.
constexpr char kDomainSuffix[] = "." PL_SERVICE_DOMAIN;
constexpr char kApiPath[] = "/api/panel";

}  // namespace

std::string route_file() { return get_path() + "/data/node_url.pl"; }

std::string resolve_route(bool with_pin, std::string* why) {
  std::string fallback = host + kApiPath;
  // Gives the default route, saying why when asked.
  auto fall_back = [&](const char* reason) {
    if (why != nullptr) *why = reason;
    return fallback;
  };
  if (why != nullptr) why->clear();
  const std::string file = route_file();
  if (!file_exists(file)) return fall_back("no routing file");

  rapidjson::Document doc;
  if (!parse_json(doc, file_get_contents(file).c_str())) return fall_back("not valid JSON");
  if (!doc.IsObject()) return fall_back("not a JSON object");
  auto node = doc.FindMember("api-node");
  if (node == doc.MemberEnd() || !node->value.IsObject()) {
    return fall_back("no \"api-node\" object");
  }
  const rapidjson::Value& api_node = node->value;

  auto url_member = api_node.FindMember("url");
  if (url_member == api_node.MemberEnd() || !url_member->value.IsString()) {
    return fall_back("\"api-node\" has no \"url\" string");
  }
  // Taken as C text: a "\u0000" in the file ends the name, as it would for
  // every later use of it.
  const std::string url = url_member->value.GetString();
  if (url.empty()) return fall_back("\"url\" is empty");
  if (url.find("api-node") == std::string::npos) {
    return fall_back("\"url\" does not contain \"api-node\"");
  }
  if (url.find(kDomainSuffix) == std::string::npos) {
    return fall_back(
        "\"url\" is outside the service's domain (no \""
        "." PL_SERVICE_DOMAIN "\" in it)");
  }

  if (with_pin) {
    auto ip = api_node.FindMember("ip");
    if (ip != api_node.MemberEnd() && ip->value.IsString()) {
      return url + "#http://" + ip->value.GetString() + kApiPath;
    }
  }
  return "http://" + url + kApiPath;
}

std::string _get_route() { return resolve_route(true, nullptr); }

std::string _get_route_py() { return resolve_route(false, nullptr); }
