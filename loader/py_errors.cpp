#include "loader/py_errors.h"

#include "loader/py_ref.h"

void print_error_and_clear() {
  // Taken out first, so nothing is pending while it is printed.  The
  // interpreter's PyErr_Print would run sys.excepthook (and end the process
  // when that raises SystemExit) and keep the exception in sys.last_exc,
  // holding every object its frames refer to until the next error printed.
  PyRef exc = PyRef::steal(PyErr_GetRaisedException());
  if (!exc) return;
  PyErr_DisplayException(exc.get());
  PyErr_Clear();  // whatever printing itself raised
}

bool is_host_control(PyObject* exc) {
  return exc != nullptr && !PyErr_GivenExceptionMatches(exc, PyExc_Exception) &&
         !PyErr_GivenExceptionMatches(exc, PyExc_SystemExit);
}

bool host_control_pending() { return is_host_control(PyErr_Occurred()); }

bool print_unless_host_control() {
  if (host_control_pending()) return false;
  print_error_and_clear();
  return true;
}
