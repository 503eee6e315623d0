// The Python bridge: requests through the panel's own HTTP module
// `http_requests`.  Failures of that module are printed to standard error
// and cleared, and the caller gets an empty text; so does an answer of more
// than kAnswerMaxSize bytes, which is never copied.  Only an interruption of
// the host's (loader/py_errors.h) reaches the caller, as the exception.
#include "loader/py_ref.h"

#include <cstring>
#include <string>

#include "loader/loader.h"
#include "transport/answer_limit.h"
#include "loader/py_errors.h"

namespace {

// The function `name` of http_requests; null (error pending) on failure.
PyRef http_requests_function(const char* name) {
  PyRef module = PyRef::steal(PyImport_ImportModule("http_requests"));
  if (!module) return PyRef();
  return PyRef::steal(PyObject_GetAttrString(module.get(), name));
}

// Says on standard error that the answer from url was refused for its size.
void say_too_large(const std::string& url) {
  PySys_WriteStderr("PluginLoader: the answer from %.300s is larger than %zu bytes; refused\n",
                    url.c_str(), kAnswerMaxSize);
}

// The body of a response: its "content" when "status_code" is 200, else "".
// A body of more than kAnswerMaxSize bytes is refused before it is copied:
// "" comes back, and it is said on standard error.  An error on the way is
// left pending for the caller.
std::string body_of(PyObject* response, const std::string& url) {
  PyRef status = PyRef::steal(PyObject_GetAttrString(response, "status_code"));
  if (!status) return std::string();
  const long code = PyLong_AsLong(status.get());
  if (code != 200) return std::string();
  PyRef content = PyRef::steal(PyObject_GetAttrString(response, "content"));
  if (!content) return std::string();
  if (PyBytes_Check(content.get())) {
    const char* data = PyBytes_AS_STRING(content.get());
    const size_t size = static_cast<size_t>(PyBytes_GET_SIZE(content.get()));
    if (size > kAnswerMaxSize) {
      say_too_large(url);
      return std::string();
    }
    return std::string(data, strnlen(data, size));  // cut at the first NUL
  }
  PyRef text = PyRef::steal(PyObject_Str(content.get()));
  if (!text) return std::string();
  // Each character is at least one byte of UTF-8: a text with more
  // characters than the bound is refused before it is encoded.
  Py_ssize_t size = PyUnicode_GetLength(text.get());
  if (size < 0) return std::string();
  if (static_cast<size_t>(size) > kAnswerMaxSize) {
    say_too_large(url);
    return std::string();
  }
  const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (utf8 == nullptr) return std::string();
  if (static_cast<size_t>(size) > kAnswerMaxSize) {
    say_too_large(url);
    return std::string();
  }
  return std::string(utf8, static_cast<size_t>(size));
}

// Finishes a call: the body of the response, or "" with the failure printed
// and cleared.  An interruption of the host's (a Timeout, KeyboardInterrupt)
// stays pending: the caller ends with it.
std::string finish(PyRef response, const std::string& url) {
  std::string body;
  if (response && PyErr_Occurred() == nullptr) body = body_of(response.get(), url);
  if (PyErr_Occurred() != nullptr) {
    print_unless_host_control();
    return std::string();
  }
  return body;
}

PyObject* or_none(PyObject* obj) { return obj != nullptr ? obj : Py_None; }

}  // namespace

std::string Ploader::requests_post(const std::string& url, PyObject* data, int timeout,
                                   PyObject* headers, PyObject* extra) {
  PyRef post = http_requests_function("post");
  if (!post) return finish(PyRef(), url);
  PyRef timeouts = PyRef::steal(Py_BuildValue("(ii)", 6, timeout));
  if (!timeouts) return finish(PyRef(), url);
  return finish(
      PyRef::steal(PyObject_CallFunction(post.get(), "sOOOO", url.c_str(), or_none(data),
                                         timeouts.get(), or_none(headers), or_none(extra))),
      url);
}

std::string Ploader::requests_get(const std::string& url, int timeout, PyObject* headers) {
  PyRef get = http_requests_function("get");
  if (!get) return finish(PyRef(), url);
  return finish(
      PyRef::steal(PyObject_CallFunction(get.get(), "siO", url.c_str(), timeout, or_none(headers))),
      url);
}
