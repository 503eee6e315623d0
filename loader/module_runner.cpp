// module_run: finds one of the panel's class modules under <panel>/class/ or
// <panel>/mod/project/, loads it and calls one method of a fresh instance of
// its class `main`.  Unlike plugin_run, an exception raised by the method
// reaches the caller unchanged.
#include "loader/py_ref.h"

#include <string>

#include "loader/loader.h"
#include "loader/runner_common.h"
#include "loader/runner_paths.h"
#include "util/util.h"

namespace {

constexpr const char* kModuleNotFound = "module not found";

enum class IndexText { kAbsent, kUnfetchable, kText };

// The text of def_args.model_index, if it has one.  A value whose text
// cannot be had (the fetch or str() raised, or it cannot be encoded) counts
// as unfetchable; its error is cleared.
IndexText model_index_text(PyObject* def_args, std::string& text) {
  if (!runner::has_attr(def_args, "model_index")) return IndexText::kAbsent;
  PyRef value = PyRef::steal(PyObject_GetAttrString(def_args, "model_index"));
  PyRef str = value ? PyRef::steal(PyObject_Str(value.get())) : PyRef();
  Py_ssize_t size = 0;
  const char* utf8 = str ? PyUnicode_AsUTF8AndSize(str.get(), &size) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    return IndexText::kUnfetchable;
  }
  text.assign(utf8, static_cast<size_t>(size));
  return IndexText::kText;
}

}  // namespace

PyObject* Ploader::module_run(PyObject* args) {
  const char* mod_name = nullptr;
  const char* def_name = nullptr;
  PyObject* def_args = nullptr;
  if (!PyArg_ParseTuple(args, "ssO", &mod_name, &def_name, &def_args)) {
    PyErr_Clear();
    return return_error(runner::kBadArguments);
  }
  if (*mod_name == '\0' || *def_name == '\0') return return_error(runner::kEmptyName);
  if (!path_check(mod_name) || !path_check(def_name)) return return_error(runner::kSpecialSymbols);

  const std::string root = get_path();
  char path[kRunnerPathSize] = {};
  bool fits = true;
  std::string index;
  switch (model_index_text(def_args, index)) {
    case IndexText::kText:
      // The text becomes a directory name: it gets the same check as the
      // names, so that it cannot lead out of <panel>/class/.
      if (index.find('\0') != std::string::npos || !path_check(index.c_str())) {
        return return_error(runner::kSpecialSymbols);
      }
      if (index == "mod") {
        fits =
            compose_bounded(path, sizeof path, "%s/mod/project/%sMod.py", root.c_str(), mod_name);
      } else {
        fits = compose_bounded(path, sizeof path, "%s/class/%sModel/%sModel.py", root.c_str(),
                               index.c_str(), mod_name);
      }
      break;
    case IndexText::kUnfetchable:
      fits = compose_bounded(path, sizeof path, "%s/class/projectModel/%sModel.py", root.c_str(),
                             mod_name);
      break;
    case IndexText::kAbsent:
      get_module_list();
      // A candidate too long for the buffer cannot be reached; it counts as
      // absent and the search goes on.
      fits = false;
      for (const std::string& dir : module_list) {
        fits = compose_bounded(path, sizeof path, "%s/class/%s/%sModel.py", root.c_str(),
                               dir.c_str(), mod_name);
        if (fits && file_exists(path)) break;
      }
      break;
  }
  if (!fits || !file_exists(path)) return return_error(kModuleNotFound);

  PyRef module = PyRef::steal(get_class_module(path));
  if (!module || runner::is_error_result(module.get())) return module.release();

  if (!runner::has_attr(module.get(), "main")) return return_error("class not found: main");
  PyRef cls = PyRef::steal(PyObject_GetAttrString(module.get(), "main"));
  if (!cls) {
    PyErr_Clear();
    return return_error("failed to get entry class");
  }
  PyRef instance = PyRef::steal(PyObject_CallNoArgs(cls.get()));
  if (!instance) {
    PyErr_Clear();
    return return_error("failed to instance class");
  }
  if (!runner::has_attr(instance.get(), def_name)) {
    return return_error(std::string("not found method [") + def_name + "] in module [" + mod_name +
                        "]");
  }

  PyRef method = PyRef::steal(PyObject_GetAttrString(instance.get(), def_name));
  PyRef fetch_error = method ? PyRef() : PyRef::steal(PyErr_GetRaisedException());
  if (runner::has_attr(def_args, "module_get_object")) {
    if (!method) PyErr_SetRaisedException(fetch_error.release());
    return method.release();
  }
  if (!method) return return_error("failed to get specified method");

  // The method's own exception, if any, goes to the caller as it is.
  return PyObject_CallOneArg(method.get(), def_args);
}
