/* Sample compiled plugin `native`: an extension module native_main whose
   class native_main has the method get_info. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyObject* native_get_info(PyObject* self, PyObject* args) {
  (void)self;
  (void)args;
  return Py_BuildValue("{s:s,s:s}", "name", "native", "kind", "compiled");
}

static PyMethodDef native_methods[] = {
    {"get_info", native_get_info, METH_O, "Describe the plugin."},
    {NULL, NULL, 0, NULL},
};

static PyType_Slot native_slots[] = {
    {Py_tp_methods, native_methods},
    {Py_tp_new, PyType_GenericNew},
    {0, NULL},
};

static PyType_Spec native_spec = {"native_main.native_main", sizeof(PyObject), 0,
                                  Py_TPFLAGS_DEFAULT, native_slots};

static struct PyModuleDef native_module = {
    PyModuleDef_HEAD_INIT, "native_main", NULL, -1, NULL, NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit_native_main(void) {
  PyObject* module = PyModule_Create(&native_module);
  if (module == NULL) return NULL;
  PyObject* type = PyType_FromSpec(&native_spec);
  if (type == NULL || PyModule_AddObject(module, "native_main", type) < 0) {
    Py_XDECREF(type);
    Py_DECREF(module);
    return NULL;
  }
  return module;
}
