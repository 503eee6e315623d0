// The plugin catalog: account data and host description sent with the
// catalog request, and the files the catalog is kept in.
#pragma once

#include <string>

#include <rapidjson/document.h>

#include "transport/answer_limit.h"

class Ploader;

// <panel>/data/plugin_bin.pl, and the reply file for unusable answers.
std::string catalog_file();
std::string catalog_error_file();

// The stored catalog text at path into text, read as the listing reads it:
// never through a link at path, a regular file only, and one of more than
// max_size bytes (the answer bound: no download stores a larger one) is not
// read at all.  Each of those leaves text empty, as a file that cannot be
// read, and so not listable; otherwise text holds the file, each piece of a
// line up to its first NUL byte as file_get_contents reads it.  True when
// the file was read.
bool read_stored_catalog(const std::string& path, std::string& text,
                         size_t max_size = kAnswerMaxSize);

// Parses text into the catalog document doc, emptied first (its memory pool
// is released); a failed parse leaves doc null.  True when it parsed.  Of
// root members with the same name only one stays, as json.loads makes it:
// in the place of the first, with the value of the last.
bool reload_catalog_document(rapidjson::Document& doc, const std::string& text);

// True when obj is an object with a member name holding an integer (a
// string).
bool has_integer(const rapidjson::Value& obj, const char* name);
bool has_string(const rapidjson::Value& obj, const char* name);

// Deepest nesting of arrays and objects that an answer may have to be stored
// as the catalog.  The listing hands the stored text to json.loads, which
// refuses deeper text with RecursionError: on CPython 3.12 at about 1,500
// levels less what the caller's stack already uses, on 3.13 at about 10,000.
constexpr size_t kCatalogMaxDepth = 512;

// True when no array or object in JSON text lies more than limit levels deep
// (brackets inside strings do not count).  Exact for text that parses.
bool json_nesting_within(const std::string& text, size_t limit);

// Answers this long or shorter are the service's error replies.
constexpr size_t kErrorReplyMaxLength = 8192;

// What becomes of an answer of the service to the catalog request.
enum class CatalogAnswer {
  kNone,        // empty: nothing is stored and doc is left as it was
  kErrorReply,  // goes to the error reply file
  kCatalog,     // goes to the catalog file
};
// Decides where an answer goes and loads a catalog into doc.  The answer is
// first cut at its first NUL byte.  One of at most 8,192 bytes is an error
// reply and leaves doc as it was.  One of more than max_size bytes (the
// clients' bound; the bridge refuses those already) is never parsed: it is
// cut to its first 8,192 bytes, an error reply, and doc is left as it was.
// Any other is the catalog only when the listing can show it: valid UTF-8,
// nested at most kCatalogMaxDepth deep, and strict JSON; it is then parsed
// into doc (see reload_catalog_document).  Otherwise it is an error reply
// and leaves doc null.
CatalogAnswer take_catalog_answer(rapidjson::Document& doc, std::string& answer,
                                  size_t max_size = kAnswerMaxSize);

// The catalog download behind Ploader::download_plugin_list, with the TLS
// setting given: the request tells http_requests to check the server's
// certificate when tls_verify_for(url, tls_setting) holds.  An account token
// holding CR or LF sends nothing and writes no file; one line on standard
// error says why.  An exception that ends the disk probe's wait or the
// request (the host's, or a signal handler's) ends the download at once,
// pending: nothing more is sent or written.
void download_catalog(Ploader& loader, bool tls_setting);

// Fills doc with the account data of <panel>/data/userInfo.json, or with the
// default account {"uid":0,"server_id":"OFF","token":""} when the file is
// missing, cannot be read (a link at its name, not a regular file, 128 KiB
// or more) or its object lacks what is needed.  False (nothing to send) when
// the file holds JSON that is not an object.  On true, doc has "uid".
bool get_user_info(rapidjson::Document& doc);
// The first non-empty line of <panel>/data/iplist.txt (the whole text when
// it has no line feed); "" when the file is missing or cannot be read as
// get_user_info reads its file.
std::string get_local_address();
// The account number of a document filled by get_user_info, as the decimal
// text of its unsigned 32-bit value.
std::string account_number(const rapidjson::Document& doc);

// The values of the host description, in the order they are sent.
struct EnvironmentInfo {
  std::string ramid, cpuid, hdid, os, mac, server_name, install_code, ip;
};
// The compact JSON object sent as "environment_info"; every value is a JSON
// string (escaped as needed) except "is_ipv6", the number 0.
std::string environment_info_json(const EnvironmentInfo& info);
