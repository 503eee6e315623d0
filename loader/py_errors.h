// Printing a pending interpreter error without ever ending the process, and
// telling the host's own exceptions from the errors of the code it runs.
#pragma once

struct _object;
typedef struct _object PyObject;

// Prints the pending exception with its traceback to standard error and
// clears it; does nothing when no error is pending.  The interpreter's own
// printer could end the whole process (SystemExit, or a sys.excepthook that
// raises it) and keeps the last exception alive in sys; this one calls no
// hook and keeps nothing.  Requires the interpreter lock.
void print_error_and_clear();

// True when exc (an exception or its class) is one by which the host takes
// back control of its own process: a BaseException that is no Exception,
// other than SystemExit.  So KeyboardInterrupt, GeneratorExit, a greenlet's
// GreenletExit and the Timeout of an event loop; SystemExit raised by plugin
// code is an error of that code like any other.  Such an exception is never
// turned into a result, printed or cleared: the module's function it
// reaches ends with it, untouched.
bool is_host_control(PyObject* exc);
// is_host_control for the pending exception; false when none is pending.
bool host_control_pending();
// print_error_and_clear, except for an exception of the host's control
// flow, which stays pending: false then, and the caller ends its work.
bool print_unless_host_control();
