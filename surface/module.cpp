// The extension module: its definition, its method table and the one
// exported symbol, PyInit_PluginLoader.  Each table function is a thin
// noexcept forwarder to the loader object Ps.
#include "loader/py_ref.h"

#include <cassert>
#include <cstring>
#include <exception>
#include <new>

#include "build_config.h"
#include "loader/host_waits.h"
#include "loader/loader.h"
#include "surface/operator_info.h"

namespace {

// One operation of the module: the function's argument tuple in, its result
// (or null with an interpreter error set) out.
using Operation = PyObject* (*)(PyObject* args);

// Runs one operation for Python: no C++ exception crosses into the
// interpreter.  Memory exhaustion becomes MemoryError; anything else an
// error result.  One function for all of them, so the handlers exist once.
PyObject* guarded(Operation op, PyObject* args) noexcept {
  PyObject* result = nullptr;
  try {
    result = op(args);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Clear();
    result = Ps.return_error(e.what());
  } catch (...) {
    PyErr_Clear();
    result = Ps.return_error("internal error");
  }
  // A function fails (null) exactly when an interpreter error is set.
  assert((result == nullptr) == (PyErr_Occurred() != nullptr));
  return result;
}

// The function behind an entry of the method table: its operation, guarded.
template <Operation op>
PyObject* entry(PyObject* /*module*/, PyObject* args) noexcept {
  return guarded(op, args);
}

// The loader object's method of the same name as the module function.
template <PyObject* (Ploader::*method)(PyObject*)>
PyObject* of_loader(PyObject* args) {
  return (Ps.*method)(args);
}

// An answer to the operator command, which takes no arguments.
template <PyObject* (*answer)()>
PyObject* without_arguments(PyObject* /*args*/) {
  return answer();
}

PyObject* get_module(PyObject* args) {
  const char* filename = nullptr;
  if (!PyArg_ParseTuple(args, "s", &filename)) {
    PyErr_Clear();
    return Ps.return_error("parameter error: get_module(filename<str>)");
  }
  if (strstr(filename, "./") != nullptr) {
    return Ps.return_error("filename cannot be relative path.");
  }
  return Ps.get_class_module(filename);
}

PyObject* parse_plugin_list(PyObject* args) {
  int force = 0;
  if (!PyArg_ParseTuple(args, "i", &force)) {
    PyErr_Clear();
    return Ps.return_error("parameter error: parse_plugin_list(force<int>)");
  }
  return Ps.parse_plugin_list(force);
}

// Each docstring opens with the function's text signature, which the
// interpreter serves as __text_signature__ (for inspect.signature and help)
// and strips from __doc__.  Every parameter is positional-only.
#define ZQ_DOC(signature, doc) signature "\n--\n\n" doc

PyMethodDef zq_methods[] = {
    {"plugin_run", entry<of_loader<&Ploader::plugin_run>>, METH_VARARGS,
     ZQ_DOC("plugin_run($module, mod_name, def_name, def_args, /)",
            "执行插件方法(插件名,方法名,参数)")},
    {"module_run", entry<of_loader<&Ploader::module_run>>, METH_VARARGS,
     ZQ_DOC("module_run($module, mod_name, def_name, def_args, /)",
            "执行模块方法(模块名,方法名,参数)")},
    {"get_plugin_list", entry<of_loader<&Ploader::get_plugin_list>>, METH_VARARGS,
     ZQ_DOC("get_plugin_list($module, force=0, /)", "获取插件列表(0/1)")},
    {"py_clear", entry<of_loader<&Ploader::py_clear>>, METH_VARARGS,
     ZQ_DOC("py_clear($module, obj, /)", "清除引用计数")},
    {"db_encrypt", entry<of_loader<&Ploader::db_encrypt>>, METH_VARARGS,
     ZQ_DOC("db_encrypt($module, text, /)", "数据库加密")},
    {"db_decrypt", entry<of_loader<&Ploader::db_decrypt>>, METH_VARARGS,
     ZQ_DOC("db_decrypt($module, text, /)", "数据库解密")},
    {"get_module", entry<get_module>, METH_VARARGS,
     ZQ_DOC("get_module($module, filename, /)", "获取指定模块对象(文件全路径)")},
    {"parse_plugin_list", entry<parse_plugin_list>, METH_VARARGS,
     ZQ_DOC("parse_plugin_list($module, force, /)", "解析插件列表(0/1)")},
    // The operator's tool reads these; the panel's code never needs them.
    {"_build_info", entry<without_arguments<operator_info::build_info>>, METH_NOARGS,
     ZQ_DOC("_build_info($module, /)", "The build's settings (never a secret).")},
    {"_iv_file_check", entry<without_arguments<operator_info::iv_file_check>>, METH_NOARGS,
     ZQ_DOC("_iv_file_check($module, /)",
            "The IV file data/div.pl as the module reads it: its state and a verdict.")},
    {"_route_check", entry<without_arguments<operator_info::route_check>>, METH_NOARGS,
     ZQ_DOC("_route_check($module, /)",
            "The route the routing file data/node_url.pl gives, or why it falls back.")},
    {"_account_check", entry<without_arguments<operator_info::account_check>>, METH_NOARGS,
     ZQ_DOC("_account_check($module, /)",
            "What the catalog request takes from data/userInfo.json (never the token).")},
    {nullptr, nullptr, 0, nullptr},
};

#undef ZQ_DOC

PyModuleDef zq_cmod_modules = {
    PyModuleDef_HEAD_INIT,
    "PluginLoader",
    "ZQ面板插件加载器",
    -1,
    zq_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_PluginLoader(void) {
  install_host_waits();
  PyObject* module = PyModule_Create2(&zq_cmod_modules, 1013);
  if (module == nullptr) return nullptr;
  // Which build is deployed: the version of pyproject.toml it was built from.
  if (PyModule_AddStringConstant(module, "__version__", PL_VERSION) != 0) {
    Py_DECREF(module);
    return nullptr;
  }
#if PL_DB_FIELD_SECRET_BUILTIN || PL_IV_FILE_SECRET_BUILTIN || PL_DB_FALLBACK_IV_SECRET_BUILTIN
  // A build that kept the repository's secrets enciphers under public keys;
  // say so where the panel's operators will see it.
  if (PyErr_WarnEx(PyExc_RuntimeWarning,
                   "PluginLoader was built with the repository's built-in secrets: for trying "
                   "the module only: a panel must choose its own",
                   1) != 0) {
    Py_DECREF(module);
    return nullptr;
  }
#endif
  return module;
}
