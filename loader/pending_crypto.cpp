// Placeholders for the database field cipher until it is built.
#include "loader/py_ref.h"

#include "loader/loader.h"

PyObject* Ploader::db_encrypt(PyObject* args) {
  const char* text = nullptr;
  if (!PyArg_ParseTuple(args, "s", &text)) {
    PyErr_Clear();
    return return_error("Invalid parameters.");
  }
  return return_error("db_encrypt is not available yet");
}

PyObject* Ploader::db_decrypt(PyObject* args) {
  const char* text = nullptr;
  if (!PyArg_ParseTuple(args, "s", &text)) {
    PyErr_Clear();
    return return_error("invalid parameters.");
  }
  return return_error("db_decrypt is not available yet");
}
