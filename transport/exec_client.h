// The executable client: requests through the `curl` program under the
// system shell, with "User-Agent: libAuth".  Every piece of caller input is
// quoted for the shell, so no URL or field can run anything.  curl runs with
// -k (no certificate check) unless tls_verify_for() says the URL is checked;
// the forms taking verify_tls decide it for one call.  Plain C++.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Bounds of the client: a command line must fit kCurlCommandSize bytes with
// its terminator (longer ones are refused), and curl's output is cut to fit
// kCurlOutputSize bytes with its terminator.  An answer of more than
// kAnswerMaxSize bytes (transport/answer_limit.h) is a failed request: curl
// is told to refuse it, and is ended when its output grows past it.
constexpr size_t kCurlCommandSize = 8192;
constexpr size_t kCurlOutputSize = 102400;
// Seconds a curl run may take beyond its connection time-out before it is
// ended (the request then fails).
constexpr int kCurlTransferSeconds = 30;

// The first existing of /usr/local/curl2/bin/curl, /usr/local/curl/bin/curl
// and /usr/bin/curl; "curl" (looked up on the search path) when none exists.
std::string _curl_bin();

// The -F arguments for fields "name=value", each written -F "field" and a
// blank.  Inside the double quotes \, ", $ and ` are escaped with a
// backslash, so the shell passes each field to curl byte for byte.
std::string _str_post(const std::vector<std::string>& fields);

// The URL as one shell word: unchanged when it holds only characters that
// the shell takes literally, otherwise in single quotes.
std::string _shell_url(const std::string& url);

// The command lines run by httpPost and httpGet, with -k unless verify_tls;
// "" when refused: a command of kCurlCommandSize bytes or more, a NUL byte in
// the input, or a URL starting with "-" (curl would take it for an option).
std::string _http_post_command(const std::string& url, int timeout,
                               const std::vector<std::string>& fields, bool verify_tls);
std::string _http_get_command(const std::string& url, int timeout, bool verify_tls);

// POST the fields as a multipart form to url, with timeout bounding the
// connection.  True with out set to curl's whole output (an HTTP error page
// counts as success); false, out unchanged, when curl reported an error (its
// output holds "curl:") or the command was refused.
bool httpPost(const std::string& url, int timeout, const std::vector<std::string>& fields,
              std::string& out);
bool httpPost(const std::string& url, int timeout, const std::vector<std::string>& fields,
              std::string& out, bool verify_tls);
// GET url; otherwise as httpPost.
bool httpGet(const std::string& url, int timeout, std::string& out);
bool httpGet(const std::string& url, int timeout, std::string& out, bool verify_tls);
