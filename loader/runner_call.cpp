#include "loader/runner_common.h"

#include <string>
#include <utility>

#include "loader/loader.h"

namespace runner {

PyObject* parse_call(Ploader& loader, PyObject* args, Call& call) {
  if (!PyArg_ParseTuple(args, "ssO", &call.mod_name, &call.def_name, &call.def_args)) {
    PyErr_Clear();
    return loader.return_error(kBadArguments);
  }
  if (*call.mod_name == '\0' || *call.def_name == '\0') return loader.return_error(kEmptyName);
  // The method name is looked at only when the entry name passed.
  if (!loader.path_check(call.mod_name) || !loader.path_check(call.def_name)) {
    return loader.return_error(kSpecialSymbols);
  }
  return nullptr;
}

bool bind_method(Ploader& loader, PyObject* module, PyObject* class_key, const char* class_name,
                 const Call& call, const EntryKind& kind, PyRef& out) {
  if (!has_attr(module, class_key)) {
    out = PyRef::steal(loader.return_error(std::string("class not found: ") + class_name));
    return false;
  }
  // A failure of the host's (a Timeout in __init__, say) leaves out null
  // with its exception pending.
  PyRef cls = PyRef::steal(PyObject_GetAttr(module, class_key));
  if (!cls) {
    if (host_control_pending()) return false;
    PyErr_Clear();
    out = PyRef::steal(loader.return_error(kind.get_class_failed));
    return false;
  }
  PyRef instance = PyRef::steal(PyObject_CallNoArgs(cls.get()));
  if (!instance) {
    if (host_control_pending()) return false;
    PyErr_Clear();
    out = PyRef::steal(loader.return_error("failed to instance class"));
    return false;
  }
  PyRef method_key = PyRef::steal(PyUnicode_FromString(call.def_name));
  if (!method_key) return false;  // out stays null, the error pending
  if (!has_attr(instance.get(), method_key.get())) {
    out = PyRef::steal(loader.return_error(std::string("not found method [") + call.def_name +
                                           "] in " + kind.what + " [" + call.mod_name + "]"));
    return false;
  }

  PyRef method = PyRef::steal(PyObject_GetAttr(instance.get(), method_key.get()));
  // Hold a failed fetch's exception while asking about def_args.
  PyRef fetch_error = method ? PyRef() : PyRef::steal(PyErr_GetRaisedException());
  if (has_attr(call.def_args, *kind.get_object_key, kind.get_object_attr)) {
    // The caller wants the bound method itself; a failed fetch reaches it
    // as the exception.
    if (!method) PyErr_SetRaisedException(fetch_error.release());
    out = std::move(method);
    return false;
  }
  if (!method) {
    if (is_host_control(fetch_error.get())) {
      PyErr_SetRaisedException(fetch_error.release());
      return false;
    }
    out = PyRef::steal(loader.return_error("failed to get specified method"));
    return false;
  }
  out = std::move(method);
  return true;
}

}  // namespace runner
