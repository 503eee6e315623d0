// Loads Python source files as modules named by their full path, executing a
// file again only when its modification time changed since it was served.
#include "loader/source_loader.h"

#include "loader/py_ref.h"

#include <string>

#include "loader/loader.h"
#include "loader/py_errors.h"
#include "util/util.h"

namespace {

enum class SourceKind { kPlugin, kClass };

// Entries of 9 bytes or less cannot hold a plugin class.
constexpr int64_t kMinPluginEntrySize = 10;

PyObject* load_source_module(Ploader& loader, const std::string& path, const FileStatus& status,
                             SourceKind kind) {
  PyRef name = PyRef::steal(PyUnicode_FromStringAndSize(path.data(), path.size()));
  if (!name) return loader.get_error_info();
  PyRef module = PyRef::steal(PyImport_GetModule(name.get()));
  if (!module && PyErr_Occurred()) PyErr_Clear();
  name.reset();

  const int64_t mtime = status.mtime;
  if (module && loader.mtime_cache[path] != mtime) {
    // Stale: the new code is executed again in this same module object,
    // which stays in sys.modules meanwhile.
    module.reset();
  }

  if (kind == SourceKind::kPlugin && status.size < kMinPluginEntrySize) {
    return loader.return_error("load plugin failed: invalid plugin entry");
  }
  if (module) return module.release();  // current: its time is already recorded
  if (kind == SourceKind::kClass && !status.exists) {
    // Nothing to execute: an empty module under this name would hide the
    // mistake from the caller.
    return loader.return_error("module not found");
  }
  loader.mtime_cache[path] = mtime;

  const std::string source = file_get_contents(path);
  PyRef code = PyRef::steal(
      Py_CompileStringExFlags(source.c_str(), path.c_str(), Py_file_input, nullptr, -1));
  if (!code) {
    if (kind == SourceKind::kPlugin) {
      print_error_and_clear();
    } else {
      PyErr_Clear();
    }
    PyRef builtins = PyRef::steal(PyImport_ImportModule("builtins"));
    if (builtins) {
      code = PyRef::steal(PyObject_CallMethod(builtins.get(), "compile", "sss", source.c_str(),
                                              path.c_str(), "exec"));
    }
    if (!code) return loader.get_error_info();
  }

  // Creates the module, or runs the code again in the one already in
  // sys.modules; a failure takes the name out of sys.modules.
  PyRef executed = PyRef::steal(PyImport_ExecCodeModule(path.c_str(), code.get()));
  if (!executed) return loader.get_error_info();
  return executed.release();
}

}  // namespace

PyObject* load_plugin_source(Ploader& loader, const std::string& path, const FileStatus& status) {
  return load_source_module(loader, path, status, SourceKind::kPlugin);
}

PyObject* load_class_source(Ploader& loader, const std::string& path, const FileStatus& status) {
  return load_source_module(loader, path, status, SourceKind::kClass);
}

// One status call gives the time and the size.
PyObject* Ploader::get_plugin_module(const std::string& path) {
  return load_plugin_source(*this, path, file_status(path.c_str()));
}

PyObject* Ploader::get_class_module(const std::string& path) {
  return load_class_source(*this, path, file_status(path.c_str()));
}

PyObject* Ploader::get_class_module(const std::string& path, const std::string& /*name*/) {
  return get_class_module(path);
}
