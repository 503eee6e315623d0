// The database field cipher as the module's functions db_encrypt and
// db_decrypt, and the installation IV with its panel hook public.get_div.
// The cipher itself lives in crypto/field_cipher.
#include "loader/py_ref.h"

#include <cerrno>
#include <cstring>

#include <sys/stat.h>

#include "crypto/field_cipher.h"
#include "loader/loader.h"
#include "loader/py_errors.h"
#include "util/util.h"

namespace {

// Asks the panel's hook public.get_div for the text to store for an
// enciphered new IV.  False, with the interpreter error pending, when the
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
  // The file gets the text up to its first NUL, as write_file writes.
  stored.assign(text, strnlen(text, static_cast<size_t>(size)));
  return true;
}

// Says on standard error, as a failing hook's error is said, why no IV file
// could be had at its path although the hook gave its text: values are
// enciphered under the fallback IV meanwhile, and a real IV file made later
// would not read them.  created and err are what create_file_exclusive gave.
void say_no_iv_file(int created, int err) {
  const std::string path = db_iv_path();
  std::string reason;
  struct stat st;
  if (created == -1) {
    reason = strerror(err);
  } else if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    reason = "a symbolic link to no file is in the way";
  } else {
    reason = "it was removed at once";
  }
  PySys_WriteStderr(
      "PluginLoader: cannot make the IV file %.300s: %.200s; the fallback IV is used\n",
      path.c_str(), reason.c_str());
}

// The database IV of one piece: read from the IV file; while there is none,
// a new one is drawn and handed to the hook to be stored first; while that
// fails, the fallback IV.
FieldBlock database_iv() {
  FieldBlock iv;
  if (read_db_iv(iv)) return iv;
  // From the system's secure generator: an IV drawn from rand() seeded with
  // the time could be found by trying every second of a year.
  char fresh[kFieldKeyLength + 1] = {0};
  if (!secure_rand_string(fresh, kFieldKeyLength)) {
    PySys_WriteStderr(
        "PluginLoader: cannot draw a new IV for %.300s: %.200s; the fallback IV is used\n",
        db_iv_path().c_str(), strerror(errno));
    return db_fallback_iv();
  }
  const std::string enciphered = iv_file_encrypt(fresh);
  wipe_key_material(fresh, sizeof fresh);
  std::string stored;
  if (!call_iv_hook(enciphered, stored)) {
    print_error_and_clear();
    if (read_db_iv(iv)) return iv;
    return db_fallback_iv();
  }
  // Only the first process to get here stores its IV; any other one drops
  // its own and reads the file that won, so no value is ever enciphered
  // under an IV that is not the one kept.  Nobody else may read it.
  const int created = create_file_exclusive(db_iv_path(), stored, 0600);
  const int err = errno;
  if (read_db_iv(iv)) return iv;
  say_no_iv_file(created, err);
  return db_fallback_iv();
}

// One piece each way, appended to out: the field key first, then the IV.
void encrypt_piece(const char* piece, size_t length, std::string& out) {
  const FieldBlock key = db_field_key();
  field_encrypt(key, database_iv(), piece, length, out);
}

void decrypt_piece(const char* piece, size_t length, std::string& out) {
  const FieldBlock key = db_field_key();
  field_decrypt(key, database_iv(), piece, length, out);
}

// Joins what op makes of each piece of text: the maximal runs of bytes other
// than a line feed, as split(text, "\n") cuts them, walked in place.
template <typename Op>
std::string transform_lines(const char* text, Op op) {
  std::string out;
  for (const char* p = text; *p != '\0';) {
    const size_t length = strcspn(p, "\n");
    if (length > 0) op(p, length, out);
    p += length;
    if (*p == '\n') ++p;
  }
  return out;
}

}  // namespace

std::string Ploader::get_db_sgin() { return db_field_key().text(); }

void Ploader::_get_sgin_key(char* key, char* chain) {
  FieldBlock k, c;
  iv_file_key(k, c);
  memcpy(key, k.bytes, kFieldKeyLength);
  key[kFieldKeyLength] = '\0';
  memcpy(chain, c.bytes, kFieldKeyLength);
  chain[kFieldKeyLength] = '\0';
}

std::string Ploader::_aes_encrypt(const std::string& key, const std::string& iv,
                                  const std::string& text) {
  return field_encrypt(key, iv, text);
}

std::string Ploader::_aes_decrypt(const std::string& key, const std::string& iv,
                                  const std::string& text) {
  return field_decrypt(key, iv, text);
}

std::string Ploader::_aes_encrypt_module(const std::string& text) { return iv_file_encrypt(text); }

std::string Ploader::_aes_decrypt_module(const std::string& text) { return iv_file_decrypt(text); }

std::string Ploader::get_db_iv() { return database_iv().text(); }

std::string Ploader::db_aes_encrypt(const std::string& value) {
  std::string out;
  encrypt_piece(value.data(), value.size(), out);
  return out;
}

std::string Ploader::db_aes_decrypt(const std::string& text) {
  std::string out;
  decrypt_piece(text.data(), text.size(), out);
  return out;
}

PyObject* Ploader::db_encrypt(PyObject* args) {
  const char* text = nullptr;
  if (!PyArg_ParseTuple(args, "s", &text)) {
    PyErr_Clear();
    return return_error("Invalid parameters.");
  }
  return return_success(transform_lines(text, encrypt_piece));
}

PyObject* Ploader::db_decrypt(PyObject* args) {
  const char* text = nullptr;
  if (!PyArg_ParseTuple(args, "s", &text)) {
    PyErr_Clear();
    return return_error("invalid parameters.");
  }
  return return_success(transform_lines(text, decrypt_piece));
}
