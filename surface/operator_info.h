// What the operator command (scripts/plugin-loader) asks of the module
// beyond its eight functions: the build's settings, and the module's own
// verdict on the panel files it reads.  The module offers them under names
// beginning with an underscore.  None of them ever returns a secret, a key,
// an IV or the account's token.
//
// Each returns a new reference to a dict, or null with the interpreter's
// error set; each requires the interpreter lock.
#pragma once

struct _object;
typedef struct _object PyObject;

namespace operator_info {

// {"version", "panel_root", "service_domain", "service_url", "tls_verify",
//  "builtin_secrets": {"db_field_secret", "iv_file_secret",
//  "db_fallback_iv_secret"}, "secrets_fingerprint", "python_version",
//  "compiled_plugin_suffixes", "catalog_max_size": the largest stored catalog
//  the listing reads}.
PyObject* build_info();

// The IV file <panel>/data/div.pl as db_encrypt reads it: {"path",
// "state": "absent" | "ok" | "a symbolic link" | "not a regular file" |
// "unreadable" | "damaged", "length": characters it deciphers to (-1 when
// not read), "detail": one line for people}.  db_encrypt refuses every state
// but "ok" and "absent", and "damaged" only when the file deciphers to fewer
// than 16 characters.
PyObject* iv_file_check();

// The routing file <panel>/data/node_url.pl: {"path", "present", "route",
// "route_py", "default", "fallback_reason": why the default route was
// chosen, or None when the file gave the route}.
PyObject* route_check();

// The account file <panel>/data/userInfo.json: {"path", "state": "absent" |
// "parsed" | "default" | "refused", "uid": the account number the catalog
// request carries, "token": whether a non-empty token is sent, "detail"}.
PyObject* account_check();

}  // namespace operator_info
