// The database field cipher as the module's functions db_encrypt and
// db_decrypt, and the installation IV with its panel hook public.get_div.
// The cipher itself lives in crypto/field_cipher.
#include "loader/py_ref.h"

#include <cerrno>
#include <cstring>

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
  PySys_WriteStderr(
      "PluginLoader: cannot make the IV file %.300s: %.200s; the fallback IV is used\n",
      db_iv_path().c_str(), created == -1 ? strerror(err) : "it was removed at once");
}

// True for what the IV file gave when values may be enciphered under the IV:
// the file's own, or while there is none (and none could be made) the
// fallback IV.  Any other IV file exists but gives no IV of its own.
bool usable(const IvFileVerdict& verdict) {
  return verdict.state == IvFileState::kOk || verdict.state == IvFileState::kAbsent;
}

// The one line that names an IV file giving no IV and why; the error result
// of db_encrypt, and printed by both directions.
std::string unusable_iv_message(const IvFileVerdict& verdict) {
  return "unusable IV file " + db_iv_path() + ": " + verdict.reason();
}

void say_unusable_iv(const IvFileVerdict& verdict) {
  PySys_WriteStderr("PluginLoader: %.900s\n", unusable_iv_message(verdict).c_str());
}

// The database IV of one piece into iv, and what the IV file gave.  A file
// kept unchanged since it was last read costs one lstat.  While there is
// none, a new IV is drawn and handed to the hook to be stored first; while
// that fails (state kAbsent), iv is the fallback IV.  An IV file that exists
// but gives no IV of its own leaves in iv what it gives (see DbIvFile::read):
// db_encrypt refuses it, db_decrypt deciphers with it as it always has.
IvFileVerdict database_iv(FieldBlock& iv) {
  IvFileVerdict verdict = Ps.db_iv_file.read(iv);
  if (verdict.state != IvFileState::kAbsent) return verdict;
  // From the system's secure generator: an IV drawn from rand() seeded with
  // the time could be found by trying every second of a year.
  char fresh[kFieldKeyLength + 1] = {0};
  if (!secure_rand_string(fresh, kFieldKeyLength)) {
    PySys_WriteStderr(
        "PluginLoader: cannot draw a new IV for %.300s: %.200s; the fallback IV is used\n",
        db_iv_path().c_str(), strerror(errno));
    iv = db_fallback_iv();
    return verdict;
  }
  const std::string enciphered = iv_file_encrypt(fresh);
  wipe_key_material(fresh, sizeof fresh);
  std::string stored;
  if (!call_iv_hook(enciphered, stored)) {
    // Ctrl-C (or a server's Timeout) in the panel's hook ends the call.
    if (!print_unless_host_control()) return verdict;
    verdict = Ps.db_iv_file.read(iv);
    if (verdict.state == IvFileState::kAbsent) iv = db_fallback_iv();
    return verdict;
  }
  // Only the first process to get here stores its IV; any other one drops
  // its own and reads the file that won, so no value is ever enciphered
  // under an IV that is not the one kept.  Nobody else may read it.
  const int created = create_file_exclusive(db_iv_path(), stored, 0600);
  const int err = errno;
  verdict = Ps.db_iv_file.read(iv);
  if (verdict.state != IvFileState::kAbsent) return verdict;
  say_no_iv_file(created, err);
  iv = db_fallback_iv();
  return verdict;
}

// One piece each way, appended to out: the field key first, then the IV.
// Enciphering stops, with what the IV file gave in weak, at an IV file that
// gives no IV of its own; deciphering goes on under what it gives, and notes
// the first such file in weak.
bool encrypt_piece(const char* piece, size_t length, std::string& out, IvFileVerdict& weak) {
  const FieldBlock key = db_field_key();
  FieldBlock iv;
  const IvFileVerdict verdict = database_iv(iv);
  if (PyErr_Occurred() != nullptr) return false;  // the host's exception, from the hook
  if (!usable(verdict)) {
    weak = verdict;
    return false;
  }
  field_encrypt(key, iv, piece, length, out);
  return true;
}

bool decrypt_piece(const char* piece, size_t length, std::string& out, IvFileVerdict& weak) {
  const FieldBlock key = db_field_key();
  FieldBlock iv;
  const IvFileVerdict verdict = database_iv(iv);
  if (PyErr_Occurred() != nullptr) return false;  // the host's exception, from the hook
  if (!usable(verdict) && usable(weak)) weak = verdict;
  field_decrypt(key, iv, piece, length, out);
  return true;
}

// Joins what op makes of each piece of text: the maximal runs of bytes other
// than a line feed, as split(text, "\n") cuts them, walked in place.  Stops
// at the first piece op refuses; weak receives what op noted of the IV file
// (state kAbsent when nothing).
template <typename Op>
bool transform_lines(const char* text, Op op, std::string& out, IvFileVerdict& weak) {
  for (const char* p = text; *p != '\0';) {
    const size_t length = strcspn(p, "\n");
    if (length > 0 && !op(p, length, out, weak)) return false;
    p += length;
    if (*p == '\n') ++p;
  }
  return true;
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

std::string Ploader::get_db_iv() {
  FieldBlock iv;
  database_iv(iv);
  return iv.text();
}

std::string Ploader::db_aes_encrypt(const std::string& value) {
  std::string out;
  IvFileVerdict weak;
  if (!encrypt_piece(value.data(), value.size(), out, weak)) say_unusable_iv(weak);
  return out;
}

std::string Ploader::db_aes_decrypt(const std::string& text) {
  std::string out;
  IvFileVerdict weak;
  decrypt_piece(text.data(), text.size(), out, weak);
  if (!usable(weak)) say_unusable_iv(weak);
  return out;
}

PyObject* Ploader::db_encrypt(PyObject* args) {
  const char* text = nullptr;
  if (!PyArg_ParseTuple(args, "s", &text)) {
    PyErr_Clear();
    return return_error("Invalid parameters.");
  }
  std::string out;
  IvFileVerdict weak;
  if (!transform_lines(text, encrypt_piece, out, weak)) {
    if (PyErr_Occurred() != nullptr) return nullptr;
    // Nothing is enciphered under an IV that an IV file planted or damaged
    // gives (all zero bytes, say): such values would be readable by anyone
    // holding the module.  The file is left as it is, for people to look at.
    say_unusable_iv(weak);
    return return_error(unusable_iv_message(weak));
  }
  return return_success(out);
}

PyObject* Ploader::db_decrypt(PyObject* args) {
  const char* text = nullptr;
  if (!PyArg_ParseTuple(args, "s", &text)) {
    PyErr_Clear();
    return return_error("invalid parameters.");
  }
  // Values stored under what a damaged IV file gave stay readable: they are
  // deciphered under it, and the line says that the file gives no IV.
  std::string out;
  IvFileVerdict weak;
  if (!transform_lines(text, decrypt_piece, out, weak)) return nullptr;  // the host's exception
  if (!usable(weak)) say_unusable_iv(weak);
  return return_success(out);
}
