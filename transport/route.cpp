#include "transport/route.h"

#include <strings.h>

#include "build_config.h"
#include "loader/loader.h"
#include "util/util.h"

namespace {

// A node name is accepted only inside the service's own domain.
constexpr char kDomainSuffix[] = "." PL_SERVICE_DOMAIN;
constexpr char kApiPath[] = "/api/panel";

// Resolves the route; with_pin allows the node form.  Any problem with the
// routing file gives the default route.
std::string resolve(bool with_pin) {
  std::string fallback = host + kApiPath;
  const std::string file = get_path() + "/data/node_url.pl";
  if (!file_exists(file)) return fallback;

  rapidjson::Document doc;
  if (!parse_json(doc, file_get_contents(file).c_str())) return fallback;
  if (!doc.IsObject()) return fallback;
  auto node = doc.FindMember("api-node");
  if (node == doc.MemberEnd() || !node->value.IsObject()) return fallback;
  const rapidjson::Value& api_node = node->value;

  auto url_member = api_node.FindMember("url");
  if (url_member == api_node.MemberEnd() || !url_member->value.IsString()) return fallback;
  // Taken as C text: a "\u0000" in the file ends the name, as it would for
  // every later use of it.
  const std::string url = url_member->value.GetString();
  if (!is_node_host(url)) return fallback;
  if (url.find("api-node") == std::string::npos) return fallback;
  if (url.find(kDomainSuffix) == std::string::npos) return fallback;

  if (with_pin) {
    auto ip = api_node.FindMember("ip");
    if (ip != api_node.MemberEnd() && ip->value.IsString()) {
      return url + "#http://" + ip->value.GetString() + kApiPath;
    }
  }
  return "http://" + url + kApiPath;
}

}  // namespace

bool is_node_host(const std::string& text) {
  const size_t colon = text.find(':');
  const size_t name_end = colon == std::string::npos ? text.size() : colon;
  if (name_end == 0) return false;
  for (size_t i = 0; i < name_end; ++i) {
    const char c = text[i];
    const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!alnum && c != '-' && c != '_' && c != '.') return false;
  }
  if (colon == std::string::npos) return true;
  const std::string port = text.substr(colon + 1);
  if (port.empty() || port.size() > 5) return false;
  long number = 0;
  for (char c : port) {
    if (c < '0' || c > '9') return false;
    number = number * 10 + (c - '0');
  }
  return number >= 1 && number <= 65535;
}

bool tls_verify_for(const std::string& url, bool setting) {
  if (!setting) return false;
  static const char kScheme[] = "https://";
  if (url.size() < sizeof kScheme - 1) return false;
  return strncasecmp(url.c_str(), kScheme, sizeof kScheme - 1) == 0;
}

std::string _get_route() { return resolve(true); }

std::string _get_route_py() { return resolve(false); }
