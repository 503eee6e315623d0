// Reading the account file and the address list (any file text), and the
// environment description built from what they hold.
#include <cctype>

#include "catalog/catalog.h"
#include "fuzz/fuzz_support.h"

namespace {

bool is_integer(const rapidjson::Value& v) { return v.IsInt64() || v.IsUint64(); }

std::string string_of(const rapidjson::Value& v) {
  return v.IsString() ? std::string(v.GetString(), v.GetStringLength()) : std::string("<none>");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  make_panel_data_dir();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string account_path = get_path() + "/data/userInfo.json";
  static const std::string address_path = get_path() + "/data/iplist.txt";
  const std::string text = as_text(data, size);
  write_panel_file(account_path, text);
  write_panel_file(address_path, text);

  rapidjson::Document doc;
  const bool usable = get_user_info(doc);
  if (!usable) {
    // Only JSON that is no object stops the download.
    rapidjson::Document parsed;
    FUZZ_CHECK(text.find('\0') != std::string::npos ||
               (to_json(text, parsed) && !parsed.IsObject()));
    return 0;
  }
  FUZZ_CHECK(doc.IsObject());
  // "uid" is always there; the account number is it or, when it is no
  // integer, "id".
  FUZZ_CHECK(doc.HasMember("uid"));
  FUZZ_CHECK(is_integer(doc["uid"]) || (doc.HasMember("id") && is_integer(doc["id"])));
  FUZZ_CHECK(doc.HasMember("server_id") && doc["server_id"].IsString());
  FUZZ_CHECK(doc.HasMember("token") && doc["token"].IsString());

  const std::string uid = account_number(doc);
  FUZZ_CHECK(!uid.empty() && uid.size() <= 10);
  for (char c : uid) FUZZ_CHECK(isdigit(static_cast<unsigned char>(c)));

  const std::string ip = get_local_address();
  if (text.find('\n') != std::string::npos) FUZZ_CHECK(ip.find('\n') == std::string::npos);

  // Whatever the files hold, the description is one JSON object carrying
  // them unchanged.
  EnvironmentInfo info;
  info.install_code = doc["server_id"].GetString();
  info.ip = ip;
  info.hdid = text;
  const std::string environment = environment_info_json(info);
  rapidjson::Document env;
  FUZZ_CHECK(to_json(environment, env) && env.IsObject() && env.MemberCount() == 9);
  FUZZ_CHECK(string_of(env["install_code"]) == info.install_code);
  FUZZ_CHECK(string_of(env["ip"]) == info.ip);
  FUZZ_CHECK(string_of(env["hdid"]) == info.hdid);
  return 0;
}
