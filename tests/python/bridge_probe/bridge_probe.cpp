// A test-only extension module that reaches the loader's Python HTTP bridge,
// the libcurl and executable clients and the catalog download with a chosen
// TLS setting, none of which a function of PluginLoader exposes.  Never
// shipped.
//
//   requests_post(url, data, timeout, headers, extra) -> bytes
//   requests_get(url, timeout, headers) -> bytes
//   curl_post2(url, body, header, timeout, verify_tls) -> (bytes, err)
//   http_get(url, timeout, verify_tls) -> (ok, bytes)
//   download_plugin_list(tls_setting) -> None
//   loader_keys() -> (field key, IV-file key, IV-file chain value, database IV, OEM text)
//   loader_cipher(method, text[, key, iv]) -> bytes: db_aes_encrypt, db_aes_decrypt,
//       _aes_encrypt, _aes_decrypt, _aes_encrypt_module or _aes_decrypt_module
//   loader_modules(path) -> (get_plugin_module(path), get_class_module(path, name))
//   shell(command, limit_ms) -> (outcome name, bytes): a child process with the
//       module's waiting hooks installed
//
// The loader_ functions reach the loader object's methods that the module's
// own functions do not call.
// An interpreter error left pending by the bridge is raised here, so a test
// sees it.
#include "loader/py_ref.h"

#include <exception>
#include <string>

#include "catalog/catalog.h"
#include "loader/host_waits.h"
#include "loader/loader.h"
#include "transport/curl_client.h"
#include "transport/exec_client.h"
#include "util/child_process.h"

namespace {

PyObject* reply(const std::string& body) {
  if (PyErr_Occurred() != nullptr) return nullptr;
  return PyBytes_FromStringAndSize(body.data(), static_cast<Py_ssize_t>(body.size()));
}

PyObject* probe_post(PyObject*, PyObject* args) noexcept {
  const char* url = nullptr;
  int timeout = 0;
  PyObject* data = nullptr;
  PyObject* headers = nullptr;
  PyObject* extra = nullptr;
  if (!PyArg_ParseTuple(args, "sOiOO", &url, &data, &timeout, &headers, &extra)) return nullptr;
  try {
    return reply(Ps.requests_post(url, data, timeout, headers, extra));
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
    return nullptr;
  }
}

PyObject* probe_get(PyObject*, PyObject* args) noexcept {
  const char* url = nullptr;
  int timeout = 0;
  PyObject* headers = nullptr;
  if (!PyArg_ParseTuple(args, "siO", &url, &timeout, &headers)) return nullptr;
  try {
    return reply(Ps.requests_get(url, timeout, headers));
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
    return nullptr;
  }
}

PyObject* probe_curl_post2(PyObject*, PyObject* args) noexcept {
  const char* url = nullptr;
  const char* body = nullptr;
  const char* header = nullptr;
  int timeout = 0;
  int verify = 0;
  if (!PyArg_ParseTuple(args, "sssip", &url, &body, &header, &timeout, &verify)) return nullptr;
  try {
    int err = -1;
    const std::string page = curl_post2(url, body, header, timeout, err, verify != 0);
    return Py_BuildValue("(y#i)", page.data(), static_cast<Py_ssize_t>(page.size()), err);
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
    return nullptr;
  }
}

PyObject* probe_http_get(PyObject*, PyObject* args) noexcept {
  const char* url = nullptr;
  int timeout = 0;
  int verify = 0;
  if (!PyArg_ParseTuple(args, "sip", &url, &timeout, &verify)) return nullptr;
  try {
    std::string page;
    const bool ok = httpGet(url, timeout, page, verify != 0);
    return Py_BuildValue("(Oy#)", ok ? Py_True : Py_False, page.data(),
                         static_cast<Py_ssize_t>(page.size()));
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
    return nullptr;
  }
}

PyObject* probe_download(PyObject*, PyObject* args) noexcept {
  int tls_setting = 0;
  if (!PyArg_ParseTuple(args, "p", &tls_setting)) return nullptr;
  try {
    download_catalog(Ps, tls_setting != 0);
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
    return nullptr;
  }
  if (PyErr_Occurred() != nullptr) return nullptr;
  Py_RETURN_NONE;
}

// Runs f, turning a C++ exception into a RuntimeError.
template <typename F>
PyObject* guarded(F f) noexcept {
  try {
    return f();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
    return nullptr;
  }
}

PyObject* probe_loader_keys(PyObject*, PyObject*) noexcept {
  return guarded([] {
    char key[17], chain[17];
    Ps._get_sgin_key(key, chain);
    const std::string field = Ps.get_db_sgin(), iv = Ps.get_db_iv(), oem = Ps.get_oem();
    return Py_BuildValue("(y#yyy#y#)", field.data(), static_cast<Py_ssize_t>(field.size()), key,
                         chain, iv.data(), static_cast<Py_ssize_t>(iv.size()), oem.data(),
                         static_cast<Py_ssize_t>(oem.size()));
  });
}

PyObject* probe_loader_cipher(PyObject*, PyObject* args) noexcept {
  const char* method = nullptr;
  const char* text = nullptr;
  const char* key = "";
  const char* iv = "";
  if (!PyArg_ParseTuple(args, "ss|ss", &method, &text, &key, &iv)) return nullptr;
  return guarded([&]() -> PyObject* {
    const std::string m = method;
    if (m == "db_aes_encrypt") return reply(Ps.db_aes_encrypt(text));
    if (m == "db_aes_decrypt") return reply(Ps.db_aes_decrypt(text));
    if (m == "_aes_encrypt") return reply(Ps._aes_encrypt(key, iv, text));
    if (m == "_aes_decrypt") return reply(Ps._aes_decrypt(key, iv, text));
    if (m == "_aes_encrypt_module") return reply(Ps._aes_encrypt_module(text));
    if (m == "_aes_decrypt_module") return reply(Ps._aes_decrypt_module(text));
    PyErr_Format(PyExc_ValueError, "no such method: %s", method);
    return nullptr;
  });
}

PyObject* probe_loader_modules(PyObject*, PyObject* args) noexcept {
  const char* path = nullptr;
  if (!PyArg_ParseTuple(args, "s", &path)) return nullptr;
  return guarded([&] {
    return Py_BuildValue("(NN)", Ps.get_plugin_module(path), Ps.get_class_module(path, "unused"));
  });
}

PyObject* probe_shell(PyObject*, PyObject* args) noexcept {
  const char* command = nullptr;
  int limit_ms = 0;
  if (!PyArg_ParseTuple(args, "si", &command, &limit_ms)) return nullptr;
  return guarded([&]() -> PyObject* {
    install_host_waits();
    std::string out;
    const ChildOutcome outcome = run_shell_command(
        command, limit_ms, [&](const char* data, size_t size) { out.append(data, size); });
    if (PyErr_Occurred() != nullptr) return nullptr;
    const char* names[] = {"not started", "finished", "timed out", "interrupted"};
    return Py_BuildValue("(sy#)", names[static_cast<int>(outcome)], out.data(),
                         static_cast<Py_ssize_t>(out.size()));
  });
}

PyMethodDef probe_methods[] = {
    {"requests_post", probe_post, METH_VARARGS, nullptr},
    {"requests_get", probe_get, METH_VARARGS, nullptr},
    {"curl_post2", probe_curl_post2, METH_VARARGS, nullptr},
    {"http_get", probe_http_get, METH_VARARGS, nullptr},
    {"download_plugin_list", probe_download, METH_VARARGS, nullptr},
    {"loader_keys", probe_loader_keys, METH_NOARGS, nullptr},
    {"loader_cipher", probe_loader_cipher, METH_VARARGS, nullptr},
    {"loader_modules", probe_loader_modules, METH_VARARGS, nullptr},
    {"shell", probe_shell, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef probe_module = {
    PyModuleDef_HEAD_INIT,
    "pl_bridge_probe",
    nullptr,
    -1,
    probe_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_pl_bridge_probe() { return PyModule_Create(&probe_module); }
