// The catalog's Python objects built straight from any text, against
// json.loads in an interpreter of the target's own (allocating with malloc,
// so that AddressSanitizer sees the objects too).  When the direct pass
// answers, json.loads accepts the text and gives the same objects (types,
// float signs, NaN, member order); when json.loads refuses, the pass has
// declined; it declines a text json.loads accepts only for NaN or Infinity,
// a surrogate escape, or deep nesting.  No interpreter error is left pending.
// Each input is built twice: with the processor's vector instructions and
// with the plain code.
#include "catalog/json_objects.h"
#include "fuzz/fuzz_support.h"

namespace {

const char kCheck[] = R"(
import json, math, re

def same(a, b):
    pairs = [(a, b)]
    while pairs:
        a, b = pairs.pop()
        if type(a) is not type(b):
            return False
        if isinstance(a, float):
            if not (math.isnan(a) and math.isnan(b) or a == b and math.copysign(1, a) == math.copysign(1, b)):
                return False
        elif isinstance(a, dict):
            if list(a) != list(b):
                return False
            pairs += [(a[k], b[k]) for k in a]
        elif isinstance(a, list):
            if len(a) != len(b):
                return False
            pairs += zip(a, b)
        elif a != b:
            return False
    return True

def check(data, answered, direct):
    try:
        want = json.loads(data.decode())
    except (ValueError, RecursionError):  # UnicodeDecodeError is a ValueError
        return not answered
    if answered:
        return same(direct, want)
    nesting = data.count(b"[") + data.count(b"{")
    return bool(re.search(rb"NaN|Infinity|\\u[dD][89a-fA-F]", data)) or nesting > 1000
)";

PyObject* g_check = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  PyPreConfig pre;
  PyPreConfig_InitPythonConfig(&pre);
  pre.allocator = PYMEM_ALLOCATOR_MALLOC;
  if (PyStatus_Exception(Py_PreInitialize(&pre))) abort();
  Py_InitializeEx(0);
  PyObject* main = PyImport_AddModule("__main__");  // borrowed
  if (main == nullptr || PyRun_SimpleString(kCheck) != 0) abort();
  g_check = PyObject_GetAttrString(main, "check");  // kept for the whole run
  if (g_check == nullptr) abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = as_text(data, size);
  PyRef bytes = PyRef::steal(PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(size)));
  // Once with the processor's vector instructions, once with the plain
  // code that processors without them run.
  for (const bool vectors : {true, false}) {
    json_objects_use_vector_extensions(vectors);
    PyRef direct = json_objects_from_text(text);
    FUZZ_CHECK(!PyErr_Occurred());
    PyRef verdict =
        PyRef::steal(PyObject_CallFunctionObjArgs(g_check, bytes.get(), direct ? Py_True : Py_False,
                                                  direct ? direct.get() : Py_None, nullptr));
    if (!verdict) PyErr_Print();
    FUZZ_CHECK(verdict.get() == Py_True);
  }
  return 0;
}
