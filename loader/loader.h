// The loader object: one process-wide Ploader, Ps, carries every operation
// behind the module's functions and owns the process-wide caches.
//
// This header does not include <Python.h>: Python objects appear only as
// pointers, so code without the interpreter (crypto, transport, the C++
// tests) can use the class.  Every method taking or returning PyObject*
// requires the interpreter lock; those facing Python return a new reference.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "crypto/field_cipher.h"
#include "util/util.h"

struct _object;
typedef struct _object PyObject;

class Ploader {
 public:
  Ploader();
  Ploader(const Ploader&) = delete;
  Ploader& operator=(const Ploader&) = delete;

  // ---- the module's functions (argument tuple in, new reference out) ----
  PyObject* plugin_run(PyObject* args);
  PyObject* module_run(PyObject* args);
  PyObject* get_plugin_list(PyObject* args);
  PyObject* py_clear(PyObject* args);
  PyObject* db_encrypt(PyObject* args);
  PyObject* db_decrypt(PyObject* args);

  // ---- result dictionaries {"status": bool, "msg": str} ----
  PyObject* return_msg(PyObject* status, const char* msg);
  PyObject* return_error(const char* msg);
  PyObject* return_success(const char* msg);
  PyObject* return_error(const std::string& msg) { return return_error(msg.c_str()); }
  PyObject* return_success(const std::string& msg) { return return_success(msg.c_str()); }
  // Asks for the object to be dropped; releases nothing beyond the call's own
  // reference.
  void py_clear_all(PyObject* obj);

  // ---- plugin and module runners ----
  // 1 when text holds none of the forbidden substrings, else 0.
  int path_check(const char* text);
  // Fills module_list from <panel>/class/ once.
  bool get_module_list();

  // ---- source module loader ----
  // The runners and get_module go through load_plugin_source and
  // load_class_source (loader/source_loader.h) with the status they already
  // took; get_plugin_module and the two-argument get_class_module stay for
  // users of the loader object (the test probe reaches them).
  PyObject* get_plugin_module(const std::string& path);
  PyObject* get_class_module(const std::string& path);
  PyObject* get_class_module(const std::string& path, const std::string& name);

  // ---- error capture and loader log ----
  // The error result made from the pending exception, which it clears; but
  // an exception of the host's control flow (is_host_control) stays pending
  // and null comes back, for the caller to end with it.
  PyObject* get_error_info();
  void log(const std::string& text);
  int write_file2(const std::string& path, const std::string& text, const char* mode);

  // ---- catalog ----
  // Ends early, with the exception pending, when the host's exception or a
  // signal handler's ends a wait on the way (the disk probe, the request):
  // nothing is sent or stored then.
  void download_plugin_list();
  // The trimmed text of <panel>/data/o.pl; nothing in the module calls it.
  std::string get_oem();
  // Both below may return with the host's exception pending, as the
  // download does.
  std::string get_plugin_list_by_string(int force);
  // The parse with force 0, for users of the loader object; nothing in the
  // module calls it.
  bool parse_plugin_list();
  PyObject* parse_plugin_list(int force);

  // ---- Python HTTP bridge ----
  // The answer's body, or "" with the failure printed and cleared; an
  // exception of the host's control flow stays pending instead.
  std::string requests_post(const std::string& url, PyObject* data, int timeout, PyObject* headers,
                            PyObject* extra);
  std::string requests_get(const std::string& url, int timeout, PyObject* headers);

  // ---- database field cipher (loader/db_methods.cpp, on crypto/field_cipher) ----
  // db_encrypt, db_decrypt and the operator answers work on crypto/field_cipher
  // directly; the methods below are the cipher as the loader object offers it
  // to its users, and only _aes_decrypt_module has a caller in the module.
  // One piece each way, with the field key and the installation IV.
  std::string db_aes_encrypt(const std::string& value);
  std::string db_aes_decrypt(const std::string& text);
  // Pad, AES-128-CBC, Base64 and back; key and iv taken as exactly 16 bytes.
  std::string _aes_encrypt(const std::string& key, const std::string& iv, const std::string& text);
  std::string _aes_decrypt(const std::string& key, const std::string& iv, const std::string& text);
  std::string get_db_sgin();
  // The installation IV as the cipher uses it (16 bytes), from the IV file;
  // while there is none, made through the panel's hook public.get_div.
  std::string get_db_iv();
  // Two buffers of at least 17 bytes: the IV-file key and chain value.
  void _get_sgin_key(char* key, char* chain);
  std::string _aes_encrypt_module(const std::string& text);
  std::string _aes_decrypt_module(const std::string& text);

  // ---- process-wide state, in this order ----
  std::vector<std::string> module_list;
  // Full path of a loaded source file to the stamp (time at full precision,
  // size, inode) of the file as it was when its code last ran.
  std::map<std::string, FileStamp> mtime_cache;
  std::string mac_address;
  rapidjson::Document soft_list;
  // The installation IV, kept while the IV file stays the same.
  DbIvFile db_iv_file;
};

// The service's default web address; set before Ps at load time.
extern std::string host;
// The one loader object.
extern Ploader Ps;

// Size of a file in bytes; -1 when it is absent or cannot be examined.
int64_t get_file_size(const std::string& path);
