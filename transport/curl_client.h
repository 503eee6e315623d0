// The libcurl client: GET and POST to the cloud service, every request with
// the header line "User-Agent: ZQ-Panel", the IP family taken from
// <panel>/data/v4.pl on each request.  The server's certificate and host name
// are checked as tls_verify_for() says for the URL connected to (never, unless
// the build turns SERVICE_TLS_VERIFY on); the forms taking verify_tls decide
// it for one call.  Plain C++.
#pragma once

#include <cstddef>
#include <string>

// Public tuning figure kept for the panel's other components; no transport
// reads it.
extern int curl_buff_size;

// 4 (IPv4 only) when the IP family file holds "-4", else 6 (IPv6 only) when
// it holds "-6", else 0 (left to the resolver); 0 when the file is missing.
int get_request_iptype();

// A caller's character buffer being filled by write_data: data holds size
// bytes, terminator included, and used bytes of text so far; received counts
// every byte of the answer.
struct CurlBuffer {
  char* data;
  size_t size;
  size_t used;
  size_t received = 0;
};

// libcurl write callback over a CurlBuffer: appends the chunk as C text (it
// stops at a NUL byte inside the chunk) and drops what does not fit.  Returns
// size * nmemb, so a full buffer never aborts the transfer; only an answer
// past kAnswerMaxSize bytes does (0 is returned).
size_t write_data(void* ptr, size_t size, size_t nmemb, void* buffer);

// libcurl write callback over a std::string: appends the whole chunk.
// Returns size * nmemb, or all bits set (which aborts the transfer) when
// size is 0, ptr or the string is null, or the string would grow past
// kAnswerMaxSize bytes.
size_t write_data2(void* ptr, size_t size, size_t nmemb, void* str);

// Every client refuses an answer of more than kAnswerMaxSize bytes
// (transport/answer_limit.h): the transfer stops, out is "", and the result
// is CURLE_FILESIZE_EXCEEDED.

// GET url into out (out_size bytes, terminator included; the body is cut to
// fit).  timeout bounds both the connection and the whole transfer, in
// seconds.  Returns the libcurl result code, 0 on success.
int curl_get(const std::string& url, char* out, size_t out_size, int timeout);
int curl_get(const std::string& url, char* out, size_t out_size, int timeout, bool verify_tls);

// POST the form body (up to its first NUL) to url; otherwise as curl_get.
int curl_post(const std::string& url, const std::string& body, char* out, size_t out_size,
              int timeout);
int curl_post(const std::string& url, const std::string& body, char* out, size_t out_size,
              int timeout, bool verify_tls);

// POST body to url with one extra header line, and return the response body
// received, also when the transfer failed part-way (not when it was refused
// for its size: "" then).  err receives the libcurl result code.  url may be the node form host +
// "#http://" + ip + path: the connection then goes to the part after "#" and "Host: " + host is
// sent; a node form lacking either part returns "" without sending and without touching err.  A
// header line or node host name holding CR or LF is refused: nothing is sent, "" comes back and err
// is CURLE_BAD_FUNCTION_ARGUMENT.  The connection must be made within 3 seconds; timeout bounds the
// whole transfer.
std::string curl_post2(const std::string& url, const std::string& body, const std::string& header,
                       int timeout, int& err);
std::string curl_post2(const std::string& url, const std::string& body, const std::string& header,
                       int timeout, int& err, bool verify_tls);
