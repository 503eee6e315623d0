// plugin_run: finds a plugin's entry under <panel>/plugin/<name>/, loads it
// (Python source, compiled extension or PHP through the panel's bridge) and
// calls one method of a fresh instance of its entry class.
#include "loader/py_ref.h"

#include <set>
#include <string>

#include "loader/loader.h"
#include "loader/runner_common.h"
#include "loader/runner_paths.h"
#include "util/util.h"

namespace {

// Plugin names whose directory has been handed to public.sys_path_append.
std::set<std::string> sys_path_plugins;

constexpr const char* kPluginNotFound = "plugin not found";

// Puts <panel>/plugin/<name> on the module search path through the panel's
// own public.sys_path_append, once per plugin name.  Failures are printed to
// standard error and the run goes on; when public itself is missing nothing
// is recorded, so the next run tries again.
void ensure_plugin_on_sys_path(const std::string& root, const char* name) {
  if (sys_path_plugins.count(name) != 0) return;
  PyRef pub = PyRef::steal(PyImport_ImportModule("public"));
  PyRef append = pub ? PyRef::steal(PyObject_GetAttrString(pub.get(), "sys_path_append")) : PyRef();
  if (!append) {
    PyErr_Print();
    return;
  }
  const std::string dir = root + "/plugin/" + name;
  PyRef done = PyRef::steal(PyObject_CallFunction(append.get(), "s", dir.c_str()));
  if (!done) PyErr_Print();
  sys_path_plugins.insert(name);
}

// A PHP plugin runs through panelPHP.panelPHP(name).exec_php_script(args).
PyObject* run_php_plugin(Ploader& loader, const char* name, PyObject* def_args) {
  PyRef bridge_module = PyRef::steal(PyImport_ImportModule("panelPHP"));
  if (!bridge_module) {
    PyErr_Print();
    return loader.return_error("import panelPHP failed");
  }
  PyRef bridge_class = PyRef::steal(PyObject_GetAttrString(bridge_module.get(), "panelPHP"));
  if (!bridge_class) {
    PyErr_Print();
    return loader.return_error("get panelPHP failed");
  }
  PyRef bridge = PyRef::steal(PyObject_CallFunction(bridge_class.get(), "s", name));
  if (!bridge) {
    PyErr_Print();
    return loader.return_error("load PHP plugin failed");
  }
  PyRef exec = PyRef::steal(PyObject_GetAttrString(bridge.get(), "exec_php_script"));
  if (!exec) {
    PyErr_Print();
    return loader.return_error("exec_php_script() not found");
  }
  PyRef result = PyRef::steal(PyObject_CallOneArg(exec.get(), def_args));
  if (!result) {
    PyErr_Print();
    return loader.return_error("An error occurred when PHP plugin running.");
  }
  return result.release();
}

}  // namespace

PyObject* Ploader::plugin_run(PyObject* args) {
  const char* mod_name = nullptr;
  const char* def_name = nullptr;
  PyObject* def_args = nullptr;
  if (!PyArg_ParseTuple(args, "ssO", &mod_name, &def_name, &def_args)) {
    PyErr_Clear();
    return return_error(runner::kBadArguments);
  }
  if (*mod_name == '\0' || *def_name == '\0') return return_error(runner::kEmptyName);
  if (!path_check(mod_name) || !path_check(def_name)) return return_error(runner::kSpecialSymbols);

  // A name too long for a working buffer cannot name a reachable entry.
  const std::string root = get_path();
  char source_path[kRunnerPathSize];
  if (!compose_bounded(source_path, sizeof source_path, "%s/plugin/%s/%s_main.py", root.c_str(),
                       mod_name, mod_name)) {
    return return_error(kPluginNotFound);
  }
  if (!file_exists(source_path)) {
    char php_path[kRunnerPathSize];
    if (!compose_bounded(php_path, sizeof php_path, "%s/plugin/%s/index.php", root.c_str(),
                         mod_name) ||
        !file_exists(php_path)) {
      return return_error(kPluginNotFound);
    }
    ensure_plugin_on_sys_path(root, mod_name);
    return run_php_plugin(*this, mod_name, def_args);
  }

  char class_name[kEntryClassSize];
  char compiled_path[kRunnerPathSize];
  if (!compose_bounded(class_name, sizeof class_name, "%s_main", mod_name) ||
      !compose_bounded(compiled_path, sizeof compiled_path,
                       "%s/plugin/%s/%s_main.cpython-%d%dm-x86_64-linux-gnu.so", root.c_str(),
                       mod_name, mod_name, PY_MAJOR_VERSION, PY_MINOR_VERSION)) {
    return return_error(kPluginNotFound);
  }
  ensure_plugin_on_sys_path(root, mod_name);

  bool compiled = file_exists(compiled_path);
  if (!compiled) {
    // Shorter than the first choice, so it always fits.
    compose_bounded(compiled_path, sizeof compiled_path, "%s/plugin/%s/%s_main.so", root.c_str(),
                    mod_name, mod_name);
    compiled = file_exists(compiled_path);
  }

  PyRef module;
  if (compiled) {
    // The interpreter's own import finds it on the search path.
    module = PyRef::steal(PyImport_ImportModule(class_name));
    if (!module) {
      Py_XDECREF(get_error_info());
      return return_error("failed to load plugin!");
    }
  } else {
    module = PyRef::steal(get_plugin_module(source_path));
    if (!module || runner::is_error_result(module.get())) return module.release();
  }

  if (!runner::has_attr(module.get(), class_name)) {
    return return_error(std::string("class not found: ") + class_name);
  }
  PyRef cls = PyRef::steal(PyObject_GetAttrString(module.get(), class_name));
  if (!cls) {
    PyErr_Clear();
    return return_error("failed to get class");
  }
  PyRef instance = PyRef::steal(PyObject_CallNoArgs(cls.get()));
  if (!instance) {
    PyErr_Clear();
    return return_error("failed to instance class");
  }
  if (!runner::has_attr(instance.get(), def_name)) {
    return return_error(std::string("not found method [") + def_name + "] in plugin [" + mod_name +
                        "]");
  }

  PyRef method = PyRef::steal(PyObject_GetAttrString(instance.get(), def_name));
  // Hold a failed fetch's exception while asking about def_args.
  PyRef fetch_error = method ? PyRef() : PyRef::steal(PyErr_GetRaisedException());
  if (runner::has_attr(def_args, "plugin_get_object")) {
    // The caller wants the bound method itself; a failed fetch reaches it
    // as the exception.
    if (!method) PyErr_SetRaisedException(fetch_error.release());
    return method.release();
  }
  if (!method) return return_error("failed to get specified method");

  PyRef result = PyRef::steal(PyObject_CallOneArg(method.get(), def_args));
  if (!result) return get_error_info();
  return result.release();
}
