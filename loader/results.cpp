#include "loader/py_ref.h"

#include <cstring>

#include "loader/loader.h"

PyObject* Ploader::return_msg(PyObject* status, const char* msg) {
  // The dictionary Py_BuildValue("{s:O,s:s}", ...) makes, built directly
  // with its two keys made once: every call of the module ends here, and
  // parsing a build format each time costs more than the dictionary itself.
  // A null msg gives None; text that is not UTF-8 makes the build fail with
  // the interpreter's decoding error.
  static PyObject* status_key = nullptr;
  static PyObject* msg_key = nullptr;
  if (status_key == nullptr && (status_key = PyUnicode_InternFromString("status")) == nullptr) {
    return nullptr;
  }
  if (msg_key == nullptr && (msg_key = PyUnicode_InternFromString("msg")) == nullptr) {
    return nullptr;
  }
  PyRef text =
      msg != nullptr
          ? PyRef::steal(PyUnicode_DecodeUTF8(msg, static_cast<Py_ssize_t>(strlen(msg)), nullptr))
          : PyRef::borrow(Py_None);
  if (!text) return nullptr;
  PyRef result = PyRef::steal(PyDict_New());
  if (!result || PyDict_SetItem(result.get(), status_key, status) != 0 ||
      PyDict_SetItem(result.get(), msg_key, text.get()) != 0) {
    return nullptr;
  }
  return result.release();
}

PyObject* Ploader::return_error(const char* msg) { return return_msg(Py_False, msg); }

PyObject* Ploader::return_success(const char* msg) { return return_msg(Py_True, msg); }

void Ploader::py_clear_all(PyObject* /*obj*/) {
  // Other holders may still use the object, and immortal objects never go
  // away: dropping references this call does not own would corrupt them, so
  // nothing beyond the caller's own reference is released.
}

PyObject* Ploader::py_clear(PyObject* args) {
  PyObject* obj = nullptr;
  if (PyArg_ParseTuple(args, "O", &obj)) {
    py_clear_all(obj);
  } else {
    PyErr_Clear();  // a wrong argument count releases nothing
  }
  return PyLong_FromLong(1);
}
