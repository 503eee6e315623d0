// Turns the interpreter's pending exception into an error result.
#include "loader/py_ref.h"

#include <string>

#include "loader/loader.h"
#include "loader/py_errors.h"

namespace {

// UTF-8 bytes of a str; characters that cannot be encoded (lone surrogates)
// come out as backslash escapes, so the text always makes a result.
bool utf8_text(PyObject* str, std::string& out) {
  PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(str, "utf-8", "backslashreplace"));
  if (!bytes) return false;
  out.assign(PyBytes_AS_STRING(bytes.get()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
  return true;
}

}  // namespace

PyObject* Ploader::get_error_info() {
  // The host's own exception is no error of the code it interrupted.
  if (host_control_pending()) return nullptr;
  // Taking the exception out leaves no error pending; it comes normalised.
  PyRef exc = PyRef::steal(PyErr_GetRaisedException());
  if (!exc) return return_error("unknown error");

  PyRef tb = PyRef::steal(PyException_GetTraceback(exc.get()));
  if (tb) {
    PyRef traceback = PyRef::steal(PyImport_ImportModule("traceback"));
    PyRef lines;
    if (traceback) {
      lines = PyRef::steal(PyObject_CallMethod(traceback.get(), "format_exception", "OOO",
                                               reinterpret_cast<PyObject*>(Py_TYPE(exc.get())),
                                               exc.get(), tb.get()));
    }
    PyRef sep = lines ? PyRef::steal(PyUnicode_FromString("")) : PyRef();
    PyRef joined = sep ? PyRef::steal(PyUnicode_Join(sep.get(), lines.get())) : PyRef();
    std::string text;
    if (!joined || !utf8_text(joined.get(), text)) {
      print_error_and_clear();
      return return_error("failed get traceback information");
    }
    return return_error(text);
  }

  // No Python frame was passed (a compile error, say): the exception's text.
  PyRef str = PyRef::steal(PyObject_Str(exc.get()));
  std::string text;
  if (!str || !utf8_text(str.get(), text)) {
    PyErr_Clear();
    return return_error("unknown error");
  }
  return return_error("load error: " + text);
}
