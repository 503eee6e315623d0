// PyRef: a move-only owner of one strong reference to a Python object.
//
//   PyRef::steal(p)   takes over a new reference (p may be null)
//   PyRef::borrow(p)  adds a reference to a borrowed one
//   get()             the raw pointer, still owned by the handle
//   release()         gives the reference away (to return it to Python)
//
// The destructor drops the reference, so every path out of a function
// releases what it took.  Requires the interpreter lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

class PyRef {
 public:
  PyRef() noexcept = default;
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : p_(other.release()) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      PyObject* old = p_;
      p_ = other.release();
      Py_XDECREF(old);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(p_); }

  static PyRef steal(PyObject* p) noexcept { return PyRef(p); }
  static PyRef borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return PyRef(p);
  }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }
  void reset() noexcept {
    PyObject* old = p_;
    p_ = nullptr;
    Py_XDECREF(old);
  }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit PyRef(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};
