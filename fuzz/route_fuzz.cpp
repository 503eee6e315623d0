// Route resolution on any node routing file: both resolvers give the default
// route or a node route built from the file's "api-node" object, whose "url"
// must be a host name of the service's domain (the domain itself or a name
// ending in "." + the domain, in any case, before an optional port), and
// they differ only by the address pin.
#include <cctype>
#include <cstring>

#include "build_config.h"
#include "fuzz/fuzz_support.h"
#include "loader/loader.h"
#include "transport/route.h"

namespace {

bool ends_with(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// A host name of letters, digits, "-", "_" and ".", optionally followed by
// ":" and a port number from 1 to 65535.
bool host_name_with_port(const std::string& text) {
  static const char kNameBytes[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_.";
  const std::string name = text.substr(0, text.find(':'));
  if (name.empty() || strspn(name.c_str(), kNameBytes) != name.size()) return false;
  if (name.size() == text.size()) return true;
  const std::string port = text.substr(name.size() + 1);
  if (port.empty() || port.size() > 5 || strspn(port.c_str(), "0123456789") != port.size()) {
    return false;
  }
  const long number = strtol(port.c_str(), nullptr, 10);
  return number >= 1 && number <= 65535;
}

// What an independent reading of the file steers to.
struct Node {
  std::string url;  // "" when the file steers nowhere
  bool pinned = false;
  std::string ip;
};

Node read_node(const std::string& text) {
  Node node;
  rapidjson::Document doc;
  if (!to_json(text, doc) || !doc.IsObject()) return node;
  auto api_node = doc.FindMember("api-node");
  if (api_node == doc.MemberEnd() || !api_node->value.IsObject()) return node;
  const rapidjson::Value& obj = api_node->value;
  auto url = obj.FindMember("url");
  if (url == obj.MemberEnd() || !url->value.IsString()) return node;
  const std::string name = url->value.GetString();
  if (!host_name_with_port(name)) return node;
  if (name.find("api-node") == std::string::npos) return node;
  std::string host_part = name.substr(0, name.find(':'));
  for (char& c : host_part) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  std::string domain = PL_SERVICE_DOMAIN;
  for (char& c : domain) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  if (host_part != domain && !ends_with(host_part, "." + domain)) return node;
  node.url = name;
  auto ip = obj.FindMember("ip");
  if (ip != obj.MemberEnd() && ip->value.IsString()) {
    node.pinned = true;
    node.ip = ip->value.GetString();
  }
  return node;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  make_panel_data_dir();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = get_path() + "/data/node_url.pl";
  const std::string text = as_text(data, size);
  write_panel_file(path, text);

  const std::string route = _get_route();
  const std::string plain = _get_route_py();
  FUZZ_CHECK(ends_with(route, "/api/panel") && ends_with(plain, "/api/panel"));

  // The file is read as text up to each NUL, so only NUL-free files are
  // compared with the independent reading.
  if (text.find('\0') != std::string::npos) return 0;
  const Node node = read_node(text);
  if (node.url.empty()) {
    FUZZ_CHECK(route == host + "/api/panel");
    FUZZ_CHECK(plain == route);
    return 0;
  }
  FUZZ_CHECK(plain == "http://" + node.url + "/api/panel");
  FUZZ_CHECK(route == (node.pinned ? node.url + "#http://" + node.ip + "/api/panel" : plain));
  return 0;
}
