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

// First choice of a compiled entry: "_main.cpython-312m-x86_64-linux-gnu.so"
// for the interpreter version built against (note the m after the version).
constexpr const char* kCompiledFirstSuffix = "_main.cpython-" Py_STRINGIFY(PY_MAJOR_VERSION)
    Py_STRINGIFY(PY_MINOR_VERSION) "m-x86_64-linux-gnu.so";

// Puts <panel>/plugin/<name> on the module search path through the panel's
// own public.sys_path_append, once per plugin name.  Failures are printed to
// standard error and the run goes on; when public itself is missing nothing
// is recorded, so the next run tries again.
void ensure_plugin_on_sys_path(const std::string& root, const char* name) {
  if (sys_path_plugins.count(name) != 0) return;
  PyRef pub = PyRef::steal(PyImport_ImportModule("public"));
  PyRef append = pub ? PyRef::steal(PyObject_GetAttrString(pub.get(), "sys_path_append")) : PyRef();
  if (!append) {
    runner::print_error();
    return;
  }
  const std::string dir = root + "/plugin/" + name;
  PyRef done = PyRef::steal(PyObject_CallFunction(append.get(), "s", dir.c_str()));
  if (!done) runner::print_error();
  sys_path_plugins.insert(name);
}

// A PHP plugin runs through panelPHP.panelPHP(name).exec_php_script(args).
PyObject* run_php_plugin(Ploader& loader, const char* name, PyObject* def_args) {
  PyRef bridge_module = PyRef::steal(PyImport_ImportModule("panelPHP"));
  if (!bridge_module) {
    runner::print_error();
    return loader.return_error("import panelPHP failed");
  }
  PyRef bridge_class = PyRef::steal(PyObject_GetAttrString(bridge_module.get(), "panelPHP"));
  if (!bridge_class) {
    runner::print_error();
    return loader.return_error("get panelPHP failed");
  }
  PyRef bridge = PyRef::steal(PyObject_CallFunction(bridge_class.get(), "s", name));
  if (!bridge) {
    runner::print_error();
    return loader.return_error("load PHP plugin failed");
  }
  PyRef exec = PyRef::steal(PyObject_GetAttrString(bridge.get(), "exec_php_script"));
  if (!exec) {
    runner::print_error();
    return loader.return_error("exec_php_script() not found");
  }
  PyRef result = PyRef::steal(PyObject_CallOneArg(exec.get(), def_args));
  if (!result) {
    runner::print_error();
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
  if (!join_bounded(source_path, sizeof source_path,
                    {root, "/plugin/", mod_name, "/", mod_name, "_main.py"})) {
    return return_error(kPluginNotFound);
  }
  // Its status also serves the source loader below.
  const FileStatus source = file_status(source_path);
  if (!source.exists) {
    char php_path[kRunnerPathSize];
    if (!join_bounded(php_path, sizeof php_path, {root, "/plugin/", mod_name, "/index.php"}) ||
        !file_exists(php_path)) {
      return return_error(kPluginNotFound);
    }
    ensure_plugin_on_sys_path(root, mod_name);
    return run_php_plugin(*this, mod_name, def_args);
  }

  char class_name[kEntryClassSize];
  char compiled_path[kRunnerPathSize];
  if (!join_bounded(class_name, sizeof class_name, {mod_name, "_main"}) ||
      !join_bounded(compiled_path, sizeof compiled_path,
                    {root, "/plugin/", mod_name, "/", mod_name, kCompiledFirstSuffix})) {
    return return_error(kPluginNotFound);
  }
  ensure_plugin_on_sys_path(root, mod_name);

  bool compiled = file_exists(compiled_path);
  if (!compiled) {
    // Shorter than the first choice, so it always fits.
    join_bounded(compiled_path, sizeof compiled_path,
                 {root, "/plugin/", mod_name, "/", mod_name, "_main.so"});
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
    module = PyRef::steal(load_plugin_source(*this, source_path, source));
    if (!module || runner::is_error_result(module.get())) return module.release();
  }

  PyRef class_key = PyRef::steal(PyUnicode_FromString(class_name));
  PyRef method_key = PyRef::steal(PyUnicode_FromString(def_name));
  if (!class_key || !method_key) return nullptr;

  if (!runner::has_attr(module.get(), class_key.get())) {
    return return_error(std::string("class not found: ") + class_name);
  }
  PyRef cls = PyRef::steal(PyObject_GetAttr(module.get(), class_key.get()));
  if (!cls) {
    PyErr_Clear();
    return return_error("failed to get class");
  }
  PyRef instance = PyRef::steal(PyObject_CallNoArgs(cls.get()));
  if (!instance) {
    PyErr_Clear();
    return return_error("failed to instance class");
  }
  if (!runner::has_attr(instance.get(), method_key.get())) {
    return return_error(std::string("not found method [") + def_name + "] in plugin [" + mod_name +
                        "]");
  }

  PyRef method = PyRef::steal(PyObject_GetAttr(instance.get(), method_key.get()));
  // Hold a failed fetch's exception while asking about def_args.
  PyRef fetch_error = method ? PyRef() : PyRef::steal(PyErr_GetRaisedException());
  static PyObject* get_object_key = nullptr;
  if (runner::has_attr(def_args, get_object_key, "plugin_get_object")) {
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
