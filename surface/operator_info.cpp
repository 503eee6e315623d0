// The module's answers to the operator's tool: build settings and verdicts
// on the IV file, the routing file and the account file, each read the way
// the module itself reads it.
#include "surface/operator_info.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "build_config.h"
#include "catalog/catalog.h"
#include "crypto/field_cipher.h"
#include "loader/loader.h"
#include "loader/py_ref.h"
#include "loader/runner_common.h"
#include "transport/route.h"
#include "util/util.h"

namespace {

PyObject* flag(bool value) { return value ? Py_True : Py_False; }

bool is_letter_or_digit(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

PyObject* iv_verdict(const std::string& path, const char* state, Py_ssize_t length,
                     const std::string& detail) {
  return Py_BuildValue("{s:s,s:s,s:n,s:s}", "path", path.c_str(), "state", state, "length", length,
                       "detail", detail.c_str());
}

PyObject* account_verdict(const std::string& path, const char* state, const std::string& uid,
                          bool token, const std::string& detail) {
  return Py_BuildValue("{s:s,s:s,s:s,s:O,s:s}", "path", path.c_str(), "state", state, "uid",
                       uid.c_str(), "token", flag(token), "detail", detail.c_str());
}

}  // namespace

namespace operator_info {

PyObject* build_info() {
  // The file names plugin_run looks for a compiled entry under, in order.
  static const char kPythonVersion[] =
      Py_STRINGIFY(PY_MAJOR_VERSION) "." Py_STRINGIFY(PY_MINOR_VERSION);
  return Py_BuildValue("{s:s,s:s,s:s,s:s,s:O,s:{s:O,s:O,s:O},s:s,s:s,s:[s,s],s:n}",      //
                       "version", PL_VERSION,                                            //
                       "panel_root", PL_PANEL_ROOT,                                      //
                       "service_domain", PL_SERVICE_DOMAIN,                              //
                       "service_url", PL_SERVICE_URL,                                    //
                       "tls_verify", flag(PL_SERVICE_TLS_VERIFY),                        //
                       "builtin_secrets",                                                //
                       "db_field_secret", flag(PL_DB_FIELD_SECRET_BUILTIN),              //
                       "iv_file_secret", flag(PL_IV_FILE_SECRET_BUILTIN),                //
                       "db_fallback_iv_secret", flag(PL_DB_FALLBACK_IV_SECRET_BUILTIN),  //
                       "secrets_fingerprint", PL_SECRETS_FINGERPRINT,                    //
                       "python_version", kPythonVersion,                                 //
                       "compiled_plugin_suffixes", runner::kCompiledFirstSuffix,
                       runner::kCompiledSecondSuffix,  //
                       "catalog_max_size", static_cast<Py_ssize_t>(kAnswerMaxSize));
}

PyObject* iv_file_check() {
  // Read as db_encrypt reads it, with a reader of its own: the module's kept
  // IV stays as it is.
  DbIvFile file(db_iv_path());
  const std::string& path = file.path();
  FieldBlock iv;
  const IvFileVerdict verdict = file.read(iv);
  const std::string refused =
      ": db_encrypt refuses to encipher (its error result names the file), db_decrypt "
      "deciphers under what the file has always given";
  switch (verdict.state) {
    case IvFileState::kAbsent:
      if (verdict.error != ENOENT) {
        return iv_verdict(path, "unreadable", -1,
                          std::string("cannot be examined: ") + strerror(verdict.error));
      }
      return iv_verdict(path, "absent", -1, "absent: the first database value makes it");
    case IvFileState::kLink:
      return iv_verdict(path, "a symbolic link", -1, verdict.reason() + refused);
    case IvFileState::kNotRegular:
      return iv_verdict(path, "not a regular file", -1, verdict.reason() + refused);
    case IvFileState::kUnreadable:
      return iv_verdict(path, "unreadable", -1, verdict.reason() + refused);
    case IvFileState::kShort:
      return iv_verdict(path, "damaged", static_cast<Py_ssize_t>(verdict.deciphered),
                        verdict.reason() + refused);
    case IvFileState::kOk:
      break;
  }
  bool letters_and_digits = true;
  for (char c : iv.bytes) letters_and_digits = letters_and_digits && is_letter_or_digit(c);
  const auto length = static_cast<Py_ssize_t>(verdict.deciphered);
  if (verdict.deciphered == kFieldKeyLength && letters_and_digits) {
    return iv_verdict(path, "ok", length, "deciphers to 16 letters and digits");
  }
  const std::string detail = verdict.deciphered == kFieldKeyLength
                                 ? "deciphers to 16 characters, not all letters and digits"
                                 : "deciphers to " + std::to_string(verdict.deciphered) +
                                       " characters, of which the "
                                       "module takes the first 16";
  return iv_verdict(path, "damaged", length,
                    detail +
                        ": not an IV the module makes (a file from another installation, or "
                        "damaged), and no value stored under it can be read by an "
                        "installation with a sound IV file");
}

PyObject* route_check() {
  const std::string path = route_file();
  std::string why;
  const std::string route = resolve_route(true, &why);
  const std::string route_py = resolve_route(false, nullptr);
  const std::string fallback = host + "/api/panel";
  PyRef reason = why.empty()
                     ? PyRef::borrow(Py_None)
                     : PyRef::steal(PyUnicode_DecodeUTF8(
                           why.data(), static_cast<Py_ssize_t>(why.size()), "backslashreplace"));
  if (!reason) return nullptr;
  return Py_BuildValue("{s:s,s:O,s:s,s:s,s:s,s:O}", "path", path.c_str(), "present",
                       flag(file_exists(path)), "route", route.c_str(), "route_py",
                       route_py.c_str(), "default", fallback.c_str(), "fallback_reason",
                       reason.get());
}

PyObject* account_check() {
  const std::string path = get_path() + "/data/userInfo.json";
  if (!file_exists(path)) {
    return account_verdict(path, "absent", "0", false,
                           "absent: the catalog request carries the default account");
  }
  // What the catalog request will carry.
  rapidjson::Document sent;
  if (!get_user_info(sent)) {
    return account_verdict(path, "refused", "0", false,
                           "holds JSON that is not an object: no catalog request is sent");
  }
  const std::string uid = account_number(sent);
  auto token = sent.FindMember("token");
  const bool has_token =
      token != sent.MemberEnd() && token->value.IsString() && token->value.GetStringLength() > 0;

  // Why the file was not taken, read as get_user_info reads it.
  std::string text;
  const NoLinkRead read = read_panel_text(path, text);
  if (!read) {
    return account_verdict(path, "default", uid, has_token,
                           "not used, the catalog request carries the default account: it is " +
                               read.reason(kPanelFileMaxSize));
  }
  rapidjson::Document raw;
  std::vector<std::string> missing;
  if (!parse_json(raw, text.c_str())) {
    missing.emplace_back("valid JSON of less than 128 KiB");
  } else {
    if (!has_integer(raw, "uid") && !has_integer(raw, "id")) {
      missing.emplace_back("an integer uid or id");
    }
    if (!has_string(raw, "server_id")) missing.emplace_back("a server_id string");
    if (!has_string(raw, "token")) missing.emplace_back("a token string");
  }
  if (!missing.empty()) {
    std::string detail = "not used, the catalog request carries the default account: it lacks ";
    for (size_t i = 0; i < missing.size(); ++i) {
      if (i > 0) detail += i + 1 == missing.size() ? " and " : ", ";
      detail += missing[i];
    }
    return account_verdict(path, "default", uid, has_token, detail);
  }
  return account_verdict(path, "parsed", uid, has_token,
                         std::string("uid ") + uid + ", server_id present, " +
                             (has_token ? "token present (not shown)" : "token empty"));
}

}  // namespace operator_info
