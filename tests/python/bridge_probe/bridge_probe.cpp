// A test-only extension module that reaches the loader's Python HTTP bridge,
// which no function of PluginLoader exposes.  Never shipped.
//
//   requests_post(url, data, timeout, headers, extra) -> bytes
//   requests_get(url, timeout, headers) -> bytes
//
// An interpreter error left pending by the bridge is raised here, so a test
// sees it.
#include "loader/py_ref.h"

#include <exception>
#include <string>

#include "loader/loader.h"

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

PyMethodDef probe_methods[] = {
    {"requests_post", probe_post, METH_VARARGS, nullptr},
    {"requests_get", probe_get, METH_VARARGS, nullptr},
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
