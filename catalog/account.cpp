#include "catalog/catalog.h"

#include <cstdint>
#include <cstring>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "util/util.h"

namespace {

const char kDefaultAccount[] = "{\"uid\":0,\"server_id\":\"OFF\",\"token\":\"\"}";

bool is_integer(const rapidjson::Value& v) { return v.IsInt64() || v.IsUint64(); }

// Leaves one member of each name in a catalog's root object, as json.loads
// does: where the first member of a name stood, with the value of the last
// one.  The strict parse keeps them all, and FindMember would find the first
// ("list" could be an array here and a text in the listing).
void keep_last_of_each_name(rapidjson::Value& root) {
  if (!root.IsObject() || root.MemberCount() < 2) return;
  const auto first = root.MemberBegin();
  const size_t count = root.MemberCount();
  std::vector<bool> keep(count, true);
  std::unordered_map<std::string_view, size_t> seen;
  bool duplicates = false;
  for (size_t i = 0; i < count; ++i) {
    const rapidjson::Value& name = first[i].name;
    const auto [at, inserted] =
        seen.emplace(std::string_view(name.GetString(), name.GetStringLength()), i);
    if (inserted) continue;
    // Values move, names stay where they are: the views into them hold.
    first[at->second].value.Swap(first[i].value);
    keep[i] = false;
    duplicates = true;
  }
  if (!duplicates) return;
  size_t kept = 0;
  for (size_t i = 0; i < count; ++i) {
    if (!keep[i]) continue;
    if (kept != i) {
      first[kept].name.Swap(first[i].name);
      first[kept].value.Swap(first[i].value);
    }
    ++kept;
  }
  root.EraseMember(first + kept, root.MemberEnd());
}

// Parses catalog text into doc with the parse flags given, doc emptied first
// (its memory pool released); a failed parse leaves doc null.
template <unsigned Flags>
bool parse_into_empty(rapidjson::Document& doc, const std::string& text) {
  {
    rapidjson::Document empty;
    doc.Swap(empty);
  }
  doc.Parse<Flags>(text.c_str());
  if (doc.HasParseError()) {
    doc.SetNull();
    return false;
  }
  keep_last_of_each_name(doc);
  return true;
}

// The value as a JSON string without its quotes: quotation marks, backslashes
// and control characters escaped, everything else as it stands.
std::string json_string_body(const std::string& value) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.String(value.data(), static_cast<rapidjson::SizeType>(value.size()));
  std::string quoted(buffer.GetString(), buffer.GetSize());
  return quoted.substr(1, quoted.size() - 2);
}

}  // namespace

std::string catalog_file() { return get_path() + "/data/plugin_bin.pl"; }

std::string catalog_error_file() { return catalog_file() + ".err"; }

bool read_stored_catalog(const std::string& path, std::string& text, size_t max_size) {
  return static_cast<bool>(read_panel_text(path, text, max_size));
}

bool has_integer(const rapidjson::Value& obj, const char* name) {
  if (!obj.IsObject()) return false;
  auto it = obj.FindMember(name);
  return it != obj.MemberEnd() && is_integer(it->value);
}

bool has_string(const rapidjson::Value& obj, const char* name) {
  if (!obj.IsObject()) return false;
  auto it = obj.FindMember(name);
  return it != obj.MemberEnd() && it->value.IsString();
}

bool reload_catalog_document(rapidjson::Document& doc, const std::string& text) {
  return parse_into_empty<rapidjson::kParseIterativeFlag>(doc, text);
}

bool json_nesting_within(const std::string& text, size_t limit) {
  size_t depth = 0;
  bool in_string = false;
  bool escaped = false;
  for (const char c : text) {
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return false;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return true;
}

CatalogAnswer take_catalog_answer(rapidjson::Document& doc, std::string& answer, size_t max_size) {
  answer.resize(strlen(answer.c_str()));
  if (answer.empty()) return CatalogAnswer::kNone;
  if (answer.size() <= kErrorReplyMaxLength) return CatalogAnswer::kErrorReply;
  if (answer.size() > max_size) {
    // Never parsed: only its start is kept, as an error reply.
    answer.resize(kErrorReplyMaxLength);
    answer.shrink_to_fit();
    return CatalogAnswer::kErrorReply;
  }
  // The listing decodes the stored text as UTF-8 and hands it to json.loads;
  // text either refuses would replace a good catalog with one that no listing
  // can show.  Every number the strict parse takes, json.loads takes too.
  const bool listable =
      json_nesting_within(answer, kCatalogMaxDepth) &&
      parse_into_empty<rapidjson::kParseIterativeFlag | rapidjson::kParseValidateEncodingFlag>(
          doc, answer);
  if (listable) return CatalogAnswer::kCatalog;
  doc.SetNull();
  return CatalogAnswer::kErrorReply;
}

bool get_user_info(rapidjson::Document& doc) {
  const std::string path = get_path() + "/data/userInfo.json";
  if (!file_exists(path)) {
    parse_json(doc, kDefaultAccount);
    return true;
  }
  get_config_json(path, doc);
  bool qualifies = doc.IsObject() && (has_integer(doc, "uid") || has_integer(doc, "id")) &&
                   has_string(doc, "server_id") && has_string(doc, "token");
  if (!qualifies) {
    if (!doc.IsObject()) return false;
    parse_json(doc, kDefaultAccount);
    return true;
  }
  if (!doc.HasMember("uid")) {
    rapidjson::Value id(doc["id"], doc.GetAllocator());
    doc.AddMember("uid", id, doc.GetAllocator());
  }
  return true;
}

std::string account_number(const rapidjson::Document& doc) {
  const rapidjson::Value* v = nullptr;
  if (doc.IsObject()) {
    auto uid = doc.FindMember("uid");
    auto id = doc.FindMember("id");
    if (uid != doc.MemberEnd() && is_integer(uid->value)) {
      v = &uid->value;
    } else if (id != doc.MemberEnd() && is_integer(id->value)) {
      v = &id->value;
    }
  }
  if (v == nullptr) return "0";
  // Taken modulo 2^32, so -1 is sent as 4294967295.
  uint32_t number = v->IsInt64() ? static_cast<uint32_t>(static_cast<uint64_t>(v->GetInt64()))
                                 : static_cast<uint32_t>(v->GetUint64());
  return std::to_string(number);
}

std::string get_local_address() {
  const std::string path = get_path() + "/data/iplist.txt";
  std::string text;
  if (!read_panel_text(path, text)) return std::string();
  if (text.find('\n') == std::string::npos) return text;
  std::vector<std::string> lines = split(text, "\n");
  return lines.empty() ? std::string() : lines.front();
}

std::string environment_info_json(const EnvironmentInfo& info) {
  std::string out = "{\"ramid\":\"";
  out += json_string_body(info.ramid);
  out += "\",\"cpuid\":\"";
  out += json_string_body(info.cpuid);
  out += "\",\"hdid\":\"";
  out += json_string_body(info.hdid);
  out += "\",\"os\":\"";
  out += json_string_body(info.os);
  out += "\",\"mac\":\"";
  out += json_string_body(info.mac);
  out += "\",\"server_name\":\"";
  out += json_string_body(info.server_name);
  out += "\",\"install_code\":\"";
  out += json_string_body(info.install_code);
  out += "\",\"is_ipv6\":0,\"ip\":\"";
  out += json_string_body(info.ip);
  out += "\"}";
  return out;
}
