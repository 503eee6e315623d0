// The database field cipher as the module's functions db_encrypt and
// db_decrypt, and the installation IV with its panel hook public.get_div.
#include "loader/py_ref.h"

#include <cstring>

#include "crypto/field_cipher.h"
#include "loader/loader.h"
#include "loader/py_errors.h"
#include "util/util.h"

namespace {

// Asks the panel's hook public.get_div for the text to store for an
// enciphered new IV.  False, with the interpreter error printed, when the
// module, the function or the call fails or the result is not a str.
bool call_iv_hook(const std::string& enciphered, std::string& stored) {
  PyRef module = PyRef::steal(PyImport_ImportModule("public"));
  if (!module) return false;
  PyRef hook = PyRef::steal(PyObject_GetAttrString(module.get(), "get_div"));
  if (!hook) return false;
  PyRef result = PyRef::steal(PyObject_CallFunction(hook.get(), "s", enciphered.c_str()));
  if (!result) return false;
  if (!PyUnicode_Check(result.get())) {
    PyErr_Format(PyExc_TypeError, "public.get_div returned %.200s, not str",
                 Py_TYPE(result.get())->tp_name);
    return false;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(result.get(), &size);
  if (text == nullptr) return false;
  stored.assign(text, static_cast<size_t>(size));
  return true;
}

// Splits text into its non-empty lines and joins what op makes of each.
template <typename Op>
std::string transform_lines(const char* text, Op op) {
  std::string out;
  for (const std::string& piece : split(text, "\n")) out += op(piece);
  return out;
}

}  // namespace

std::string Ploader::get_db_iv() {
  const std::string path = db_iv_path();
  if (!file_exists(path)) {
    char fresh[17] = {0};
    rand_string(fresh, 16);
    const std::string enciphered = _aes_encrypt_module(fresh);
    memset(fresh, 0, sizeof fresh);
    std::string stored;
    if (call_iv_hook(enciphered, stored)) {
      // Only the first process to get here stores its IV; any other one
      // drops its own and reads the file that won, so no value is ever
      // enciphered under an IV that is not the one kept.
      create_file_exclusive(path, stored);
    } else {
      print_error_and_clear();
    }
  }
  if (file_exists(path)) return _aes_decrypt_module(file_get_contents(path));
  return db_fallback_iv();
}

std::string Ploader::db_aes_encrypt(const std::string& value) {
  const std::string key = get_db_sgin();
  return _aes_encrypt(key, get_db_iv(), value);
}

std::string Ploader::db_aes_decrypt(const std::string& text) {
  const std::string key = get_db_sgin();
  return _aes_decrypt(key, get_db_iv(), text);
}

PyObject* Ploader::db_encrypt(PyObject* args) {
  const char* text = nullptr;
  if (!PyArg_ParseTuple(args, "s", &text)) {
    PyErr_Clear();
    return return_error("Invalid parameters.");
  }
  const std::string out =
      transform_lines(text, [this](const std::string& piece) { return db_aes_encrypt(piece); });
  return return_success(out);
}

PyObject* Ploader::db_decrypt(PyObject* args) {
  const char* text = nullptr;
  if (!PyArg_ParseTuple(args, "s", &text)) {
    PyErr_Clear();
    return return_error("invalid parameters.");
  }
  const std::string out =
      transform_lines(text, [this](const std::string& piece) { return db_aes_decrypt(piece); });
  return return_success(out);
}
