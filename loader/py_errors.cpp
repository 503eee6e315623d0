#include "loader/py_errors.h"

#include "loader/py_ref.h"

void print_error_and_clear() {
  if (PyErr_Occurred() == nullptr) return;
  if (PyErr_ExceptionMatches(PyExc_SystemExit)) {
    PyRef exc = PyRef::steal(PyErr_GetRaisedException());
    PyErr_DisplayException(exc.get());
  } else {
    PyErr_Print();
  }
  PyErr_Clear();
}
