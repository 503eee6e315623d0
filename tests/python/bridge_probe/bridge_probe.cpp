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
//
// An interpreter error left pending by the bridge is raised here, so a test
// sees it.
#include "loader/py_ref.h"

#include <exception>
#include <string>

#include "catalog/catalog.h"
#include "loader/loader.h"
#include "transport/curl_client.h"
#include "transport/exec_client.h"

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

PyMethodDef probe_methods[] = {
    {"requests_post", probe_post, METH_VARARGS, nullptr},
    {"requests_get", probe_get, METH_VARARGS, nullptr},
    {"curl_post2", probe_curl_post2, METH_VARARGS, nullptr},
    {"http_get", probe_http_get, METH_VARARGS, nullptr},
    {"download_plugin_list", probe_download, METH_VARARGS, nullptr},
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
