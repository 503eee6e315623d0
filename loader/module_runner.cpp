// module_run: finds one of the panel's class modules under <panel>/class/ or
// <panel>/mod/project/, loads it and calls one method of a fresh instance of
// its class `main`.  Unlike plugin_run, an exception raised by the method
// reaches the caller unchanged.
#include "loader/py_ref.h"

#include <string>

#include "loader/loader.h"
#include "loader/runner_common.h"
#include "loader/runner_paths.h"
#include "loader/source_loader.h"
#include "util/util.h"

namespace {

constexpr const char* kModuleNotFound = "module not found";

enum class IndexText { kAbsent, kUnfetchable, kText };

// The text of def_args.model_index, if it has one.  A value whose text
// cannot be had (the fetch or str() raised, or it cannot be encoded) counts
// as unfetchable; its error is cleared.
IndexText model_index_text(PyObject* def_args, std::string& text) {
  static PyObject* key = nullptr;
  if (!runner::has_attr(def_args, key, "model_index")) return IndexText::kAbsent;
  PyRef value = PyRef::steal(PyObject_GetAttr(def_args, key));
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
  runner::Call call;
  if (PyObject* refused = runner::parse_call(*this, args, call)) return refused;
  const char* mod_name = call.mod_name;

  const std::string root = get_path();
  char path[kRunnerPathSize] = {};
  bool fits = true;
  FileStatus status;
  bool examined = false;
  std::string index;
  switch (model_index_text(call.def_args, index)) {
    case IndexText::kText:
      // The text becomes a directory name: it gets the same check as the
      // names, so that it cannot lead out of <panel>/class/.
      if (index.find('\0') != std::string::npos || !path_check(index.c_str())) {
        return return_error(runner::kSpecialSymbols);
      }
      if (index == "mod") {
        fits = join_bounded(path, sizeof path, {root, "/mod/project/", mod_name, "Mod.py"});
      } else {
        fits = join_bounded(path, sizeof path,
                            {root, "/class/", index, "Model/", mod_name, "Model.py"});
      }
      break;
    case IndexText::kUnfetchable:
      fits = join_bounded(path, sizeof path, {root, "/class/projectModel/", mod_name, "Model.py"});
      break;
    case IndexText::kAbsent:
      get_module_list();
      // A candidate too long for the buffer cannot be reached; it counts as
      // absent and the search goes on.
      fits = false;
      for (const std::string& dir : module_list) {
        fits = join_bounded(path, sizeof path, {root, "/class/", dir, "/", mod_name, "Model.py"});
        if (fits) {
          status = file_status(path);
          examined = true;
          if (status.exists) break;
        }
      }
      break;
  }
  if (!fits) return return_error(kModuleNotFound);
  // The status serves the existence test and the source loader alike.
  if (!examined) status = file_status(path);
  if (!status.exists) return return_error(kModuleNotFound);

  PyRef module = PyRef::steal(load_class_source(*this, path, status));
  if (!module || runner::is_error_result(module.get())) return module.release();

  static PyObject* main_key = nullptr;
  static PyObject* get_object_key = nullptr;
  static const runner::EntryKind kind = {"module", "failed to get entry class", "module_get_object",
                                         &get_object_key};
  PyObject* class_key = runner::interned(main_key, "main");
  if (class_key == nullptr) return return_error("class not found: main");
  PyRef method;
  if (!runner::bind_method(*this, module.get(), class_key, "main", call, kind, method)) {
    return method.release();
  }
  // The method's own exception, if any, goes to the caller as it is.
  return PyObject_CallOneArg(method.get(), call.def_args);
}
