#include "loader/host_waits.h"

#include "loader/py_ref.h"
#include "util/blocking.h"

namespace {

void* release_interpreter() { return PyGILState_Check() ? PyEval_SaveThread() : nullptr; }

void restore_interpreter(void* token) { PyEval_RestoreThread(static_cast<PyThreadState*>(token)); }

// The select() the host's code would call: the select module's, looked up
// now, for it may have been replaced since the module was loaded.  Null when
// the select module is not loaded.
PyRef host_select() {
  PyRef name = PyRef::steal(PyUnicode_FromString("select"));
  PyRef module = name ? PyRef::steal(PyImport_GetModule(name.get())) : PyRef();
  PyRef select = module ? PyRef::steal(PyObject_GetAttrString(module.get(), "select")) : PyRef();
  if (!select) PyErr_Clear();
  return select;
}

// A host that schedules greenlets on a thread replaces select.select with
// its own, which waits by switching to the others; the interpreter's own is
// a built-in function.  Giving up the interpreter lock lets other threads
// run, but only the host's select lets the other greenlets run.
bool cooperative() {
  if (!PyGILState_Check()) return false;
  PyRef select = host_select();
  return select && !PyCFunction_Check(select.get());
}

// select.select([fd], [], [], seconds), or select.select([], [], [], seconds)
// for a pause; 1 readable, 0 time out, -1 when it raised (the greenlet is
// being killed or timed out, or a signal handler raised): the exception
// stays pending, the child is ended at once and the module's function that
// waited ends with it.
int cooperative_wait(int fd, int timeout_ms) {
  PyRef select = host_select();
  if (!select) return -1;
  PyRef readers = PyRef::steal(fd >= 0 ? Py_BuildValue("[i]", fd) : PyList_New(0));
  PyRef none = PyRef::steal(PyList_New(0));
  if (!readers || !none) return -1;  // MemoryError, pending
  PyRef result = PyRef::steal(PyObject_CallFunction(select.get(), "OOOd", readers.get(), none.get(),
                                                    none.get(), timeout_ms / 1000.0));
  if (!result) return -1;
  PyObject* ready = PyTuple_Check(result.get()) && PyTuple_GET_SIZE(result.get()) > 0
                        ? PyTuple_GET_ITEM(result.get(), 0)
                        : nullptr;
  const Py_ssize_t count = ready != nullptr ? PyObject_Length(ready) : -1;
  if (count < 0) {
    PyErr_Clear();
    return -1;
  }
  return count > 0 ? 1 : 0;
}

// Runs the signal handlers of signals that came while the thread waited
// without the interpreter lock; true when one raised: its exception stays
// pending, and the wait ends with it.
bool signal_handler_raised() { return PyGILState_Check() && PyErr_CheckSignals() != 0; }

const BlockingHooks kHostHooks = {release_interpreter, restore_interpreter, cooperative,
                                  cooperative_wait, signal_handler_raised};

}  // namespace

void install_host_waits() noexcept { set_blocking_hooks(&kHostHooks); }
