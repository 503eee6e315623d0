// The extension module: its definition, its method table and the one
// exported symbol, PyInit_PluginLoader.  Each table function is a thin
// noexcept forwarder to the loader object Ps.
#include "loader/py_ref.h"

#include <cassert>
#include <cstring>
#include <exception>
#include <new>

#include "loader/loader.h"
#include "util/blocking.h"

namespace {

// Work that waits (a child process, another thread's load of a file) gives
// up the interpreter lock when the waiting thread holds it, so the panel's
// other threads keep running meanwhile.
void* release_interpreter() { return PyGILState_Check() ? PyEval_SaveThread() : nullptr; }

void restore_interpreter(void* token) { PyEval_RestoreThread(static_cast<PyThreadState*>(token)); }

const BlockingHooks kInterpreterHooks = {release_interpreter, restore_interpreter};

// Runs one operation for Python: no C++ exception crosses into the
// interpreter.  Memory exhaustion becomes MemoryError; anything else an
// error result.
template <typename F>
PyObject* guarded(F&& op) noexcept {
  PyObject* result = nullptr;
  try {
    result = op();
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

PyObject* zq_plugin_run(PyObject*, PyObject* args) noexcept {
  return guarded([&] { return Ps.plugin_run(args); });
}

PyObject* zq_module_run(PyObject*, PyObject* args) noexcept {
  return guarded([&] { return Ps.module_run(args); });
}

PyObject* zq_get_plugin_list(PyObject*, PyObject* args) noexcept {
  return guarded([&] { return Ps.get_plugin_list(args); });
}

PyObject* zq_py_clear(PyObject*, PyObject* args) noexcept {
  return guarded([&] { return Ps.py_clear(args); });
}

PyObject* zq_db_encrypt(PyObject*, PyObject* args) noexcept {
  return guarded([&] { return Ps.db_encrypt(args); });
}

PyObject* zq_db_decrypt(PyObject*, PyObject* args) noexcept {
  return guarded([&] { return Ps.db_decrypt(args); });
}

PyObject* zq_get_module(PyObject*, PyObject* args) noexcept {
  return guarded([&] {
    const char* filename = nullptr;
    if (!PyArg_ParseTuple(args, "s", &filename)) {
      PyErr_Clear();
      return Ps.return_error("parameter error: get_module(filename<str>)");
    }
    if (strstr(filename, "./") != nullptr) {
      return Ps.return_error("filename cannot be relative path.");
    }
    return Ps.get_class_module(filename);
  });
}

PyObject* zq_parse_plugin_list(PyObject*, PyObject* args) noexcept {
  return guarded([&] {
    int force = 0;
    if (!PyArg_ParseTuple(args, "i", &force)) {
      PyErr_Clear();
      return Ps.return_error("parameter error: parse_plugin_list(force<int>)");
    }
    return Ps.parse_plugin_list(force);
  });
}

PyMethodDef zq_methods[] = {
    {"plugin_run", zq_plugin_run, METH_VARARGS, "执行插件方法(插件名,方法名,参数)"},
    {"module_run", zq_module_run, METH_VARARGS, "执行模块方法(模块名,方法名,参数)"},
    {"get_plugin_list", zq_get_plugin_list, METH_VARARGS, "获取插件列表(0/1)"},
    {"py_clear", zq_py_clear, METH_VARARGS, "清除引用计数"},
    {"db_encrypt", zq_db_encrypt, METH_VARARGS, "数据库加密"},
    {"db_decrypt", zq_db_decrypt, METH_VARARGS, "数据库解密"},
    {"get_module", zq_get_module, METH_VARARGS, "获取指定模块对象(文件全路径)"},
    {"parse_plugin_list", zq_parse_plugin_list, METH_VARARGS, "解析插件列表(0/1)"},
    {nullptr, nullptr, 0, nullptr},
};

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
  set_blocking_hooks(&kInterpreterHooks);
  return PyModule_Create2(&zq_cmod_modules, 1013);
}
