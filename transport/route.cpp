#include "transport/route.h"

#include <strings.h>

#include <algorithm>

#include "build_config.h"
#include "loader/loader.h"
#include "util/util.h"

namespace {

constexpr char kApiPath[] = "/api/panel";

}  // namespace

bool in_service_domain(const std::string& node) {
  static const char kDomain[] = PL_SERVICE_DOMAIN;
  constexpr size_t kLength = sizeof kDomain - 1;
  const size_t name_end = std::min(node.find(':'), node.size());
  if (name_end < kLength) return false;
  const size_t start = name_end - kLength;
  // Host names are compared without regard to case, as DNS does.
  if (strncasecmp(node.c_str() + start, kDomain, kLength) != 0) return false;
  return start == 0 || node[start - 1] == '.';
}

std::string route_file() { return get_path() + "/data/node_url.pl"; }

std::string resolve_route(bool with_pin, std::string* why) {
  std::string fallback = host + kApiPath;
  // Gives the default route, saying why when asked.
  auto fall_back = [&](const std::string& reason) {
    if (why != nullptr) *why = reason;
    return fallback;
  };
  if (why != nullptr) why->clear();
  // The panel's file, read never through a link planted at its name.
  std::string text;
  const NoLinkRead read = read_panel_text(route_file(), text);
  if (read.outcome == NoLinkRead::kMissing) return fall_back("no routing file");
  if (!read) return fall_back("the routing file is " + read.reason(kPanelFileMaxSize));

  rapidjson::Document doc;
  if (!parse_json(doc, text.c_str())) return fall_back("not valid JSON");
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
  if (!is_node_host(url)) {
    return fall_back(
        "\"url\" is not a host name (letters, digits, -, _ and . with an optional :port)");
  }
  if (url.find("api-node") == std::string::npos) {
    return fall_back("\"url\" does not contain \"api-node\"");
  }
  if (!in_service_domain(url)) {
    return fall_back(
        "\"url\" is outside the service's domain (its host is neither " PL_SERVICE_DOMAIN
        " nor a name ending in \"." PL_SERVICE_DOMAIN "\")");
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

std::string _get_route_py() { return resolve_route(false, nullptr); }
