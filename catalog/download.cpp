#include "loader/py_ref.h"

#include "build_config.h"
#include "catalog/catalog.h"
#include "hostinfo/probes.h"
#include "loader/loader.h"
#include "transport/route.h"
#include "util/util.h"

namespace {

// Replaces a catalog file as one step, so other panel processes reading it
// see the old or the new text, never a part.  Where the directory refuses a
// new file, the regular file is written in place as before; a link planted
// at the path is never written through.  A file that cannot be written is
// skipped: the stored one stays.
void store(const std::string& path, const std::string& text) { replace_file(path, text); }

}  // namespace

void Ploader::download_plugin_list() { download_catalog(*this, PL_SERVICE_TLS_VERIFY != 0); }

void download_catalog(Ploader& loader, bool tls_setting) {
  rapidjson::Document account;
  if (!get_user_info(account)) return;  // the account file holds no object
  const std::string token = account["token"].GetString();
  if (token.find_first_of("\r\n") != std::string::npos) {
    // In the Authorization header it would end the line and start others.
    PySys_WriteStderr(
        "PluginLoader: the account token holds a line break; the catalog request is not sent\n");
    return;
  }

  if (loader.mac_address.empty()) get_mac_address(loader.mac_address);

  EnvironmentInfo info;
  const std::string uid = account_number(account);
  info.install_code = account["server_id"].GetString();
  info.ip = get_local_address();
  info.mac = loader.mac_address;
  info.os = _get_os();
  info.ramid = get_memory_total();
  info.cpuid = get_cpu_id();
  info.hdid = get_disk_id();
  // The host ended the wait for the disk probe (a Timeout, a kill, a signal
  // handler's exception): the download ends with that exception.
  if (PyErr_Occurred() != nullptr) return;
  info.server_name = get_server_name();
  const std::string environment = environment_info_json(info);

  PyRef data = PyRef::steal(
      Py_BuildValue("{s:s,s:s}", "uid", uid.c_str(), "environment_info", environment.c_str()));
  const std::string authorization = "zq " + token;
  PyRef headers = PyRef::steal(Py_BuildValue("{s:s}", "Authorization", authorization.c_str()));
  if (!data || !headers) {
    PyErr_Clear();  // a text that is not UTF-8: nothing is sent
    return;
  }

  const std::string url = _get_route_py() + "/getSoftListEn";
  PyObject* verify = tls_verify_for(url, tls_setting) ? Py_True : Py_False;
  std::string answer = loader.requests_post(url, data.get(), 10, headers.get(), verify);
  data.reset();
  if (PyErr_Occurred() != nullptr) return;  // the host interrupted the request
  switch (take_catalog_answer(loader.soft_list, answer)) {
    case CatalogAnswer::kNone:
      break;
    case CatalogAnswer::kErrorReply:
      store(catalog_error_file(), answer);
      break;
    case CatalogAnswer::kCatalog:
      store(catalog_file(), answer);
      break;
  }
}

std::string Ploader::get_oem() {
  std::string text;
  read_panel_text(get_path() + "/data/o.pl", text);
  trim(text);
  return text;
}
