// plugin_run: finds a plugin's entry under <panel>/plugin/<name>/, loads it
// (Python source, compiled extension or PHP through the panel's bridge) and
// calls one method of a fresh instance of its entry class.
#include "loader/py_ref.h"

#include <set>
#include <string>

#include "loader/loader.h"
#include "loader/runner_common.h"
#include "loader/runner_paths.h"
#include "loader/source_loader.h"
#include "util/util.h"

namespace {

// Plugin names whose directory has been handed to public.sys_path_append.
std::set<std::string> sys_path_plugins;

constexpr const char* kPluginNotFound = "plugin not found";

// Puts <panel>/plugin/<name> on the module search path through the panel's
// own public.sys_path_append, once per plugin name.  Failures are printed to
// standard error and the run goes on; when public itself is missing nothing
// is recorded, so the next run tries again.  True when panel code ran (it may
// have changed the plugin's files meanwhile); the host's exception, if it
// interrupted that code, is left pending (the run ends with it).
bool ensure_plugin_on_sys_path(const std::string& root, const char* name) {
  if (sys_path_plugins.count(name) != 0) return false;
  PyRef pub = PyRef::steal(PyImport_ImportModule("public"));
  PyRef append = pub ? PyRef::steal(PyObject_GetAttrString(pub.get(), "sys_path_append")) : PyRef();
  if (!append) {
    print_unless_host_control();
    return true;
  }
  const std::string dir = root + "/plugin/" + name;
  PyRef done = PyRef::steal(PyObject_CallFunction(append.get(), "s", dir.c_str()));
  if (!done && !print_unless_host_control()) return true;
  sys_path_plugins.insert(name);
  return true;
}

// A PHP plugin runs through panelPHP.panelPHP(name).exec_php_script(args).
PyObject* run_php_plugin(Ploader& loader, const char* name, PyObject* def_args) {
  // Each failing step prints its error and answers with its message; the
  // host's exception ends the run instead.
  auto failed = [&loader](const char* message) -> PyObject* {
    return print_unless_host_control() ? loader.return_error(message) : nullptr;
  };
  PyRef bridge_module = PyRef::steal(PyImport_ImportModule("panelPHP"));
  if (!bridge_module) return failed("import panelPHP failed");
  PyRef bridge_class = PyRef::steal(PyObject_GetAttrString(bridge_module.get(), "panelPHP"));
  if (!bridge_class) return failed("get panelPHP failed");
  PyRef bridge = PyRef::steal(PyObject_CallFunction(bridge_class.get(), "s", name));
  if (!bridge) return failed("load PHP plugin failed");
  PyRef exec = PyRef::steal(PyObject_GetAttrString(bridge.get(), "exec_php_script"));
  if (!exec) return failed("exec_php_script() not found");
  PyRef result = PyRef::steal(PyObject_CallOneArg(exec.get(), def_args));
  if (!result) return failed("An error occurred when PHP plugin running.");
  return result.release();
}

}  // namespace

PyObject* Ploader::plugin_run(PyObject* args) {
  runner::Call call;
  if (PyObject* refused = runner::parse_call(*this, args, call)) return refused;
  const char* mod_name = call.mod_name;

  // A name too long for a working buffer cannot name a reachable entry.
  const std::string root = get_path();
  char source_path[kRunnerPathSize];
  if (!join_bounded(source_path, sizeof source_path,
                    {root, "/plugin/", mod_name, "/", mod_name, "_main.py"})) {
    return return_error(kPluginNotFound);
  }
  // Its status also serves the source loader below.
  FileStatus source = file_status(source_path);
  if (!source.exists) {
    char php_path[kRunnerPathSize];
    if (!join_bounded(php_path, sizeof php_path, {root, "/plugin/", mod_name, "/index.php"}) ||
        !file_exists(php_path)) {
      return return_error(kPluginNotFound);
    }
    ensure_plugin_on_sys_path(root, mod_name);
    if (PyErr_Occurred() != nullptr) return nullptr;
    return run_php_plugin(*this, mod_name, call.def_args);
  }

  char class_name[kEntryClassSize];
  if (!join_bounded(class_name, sizeof class_name, {mod_name, "_main"})) {
    return return_error(kPluginNotFound);
  }
  // The loader must not work from a status taken before the panel's code ran.
  if (ensure_plugin_on_sys_path(root, mod_name)) {
    if (PyErr_Occurred() != nullptr) return nullptr;
    source = file_status(source_path);
  }

  char compiled_path[kRunnerPathSize];
  const bool compiled =
      first_existing(compiled_path, sizeof compiled_path,
                     {{root, "/plugin/", mod_name, "/", mod_name, runner::kCompiledFirstSuffix},
                      {root, "/plugin/", mod_name, "/", mod_name, runner::kCompiledSecondSuffix}});

  PyRef module;
  if (compiled) {
    // The interpreter's own import finds it on the search path.
    module = PyRef::steal(PyImport_ImportModule(class_name));
    if (!module) {
      PyRef discarded = PyRef::steal(get_error_info());
      if (!discarded) return nullptr;  // the host interrupted the import
      return return_error("failed to load plugin!");
    }
  } else {
    module = PyRef::steal(load_plugin_source(*this, source_path, source));
    if (!module || runner::is_error_result(module.get())) return module.release();
  }

  PyRef class_key = PyRef::steal(PyUnicode_FromString(class_name));
  if (!class_key) return nullptr;
  static PyObject* get_object_key = nullptr;
  static const runner::EntryKind kind = {"plugin", "failed to get class", "plugin_get_object",
                                         &get_object_key};
  PyRef method;
  if (!runner::bind_method(*this, module.get(), class_key.get(), class_name, call, kind, method)) {
    return method.release();
  }
  PyRef result = PyRef::steal(PyObject_CallOneArg(method.get(), call.def_args));
  if (!result) return get_error_info();
  return result.release();
}
