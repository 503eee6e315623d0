#include "transport/curl_client.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <vector>

#include <curl/curl.h>

#include "transport/answer_limit.h"
#include "transport/route.h"
#include "util/util.h"

int curl_buff_size = 1024;

namespace {

constexpr char kUserAgentLine[] = "User-Agent: ZQ-Panel";
// Connection time-out of curl_post2, whatever the caller's time-out.
constexpr long kPost2ConnectTimeout = 3;

struct EasyCleanup {
  void operator()(CURL* handle) const noexcept { curl_easy_cleanup(handle); }
};
using EasyPtr = std::unique_ptr<CURL, EasyCleanup>;

struct SlistFree {
  void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};
using SlistPtr = std::unique_ptr<curl_slist, SlistFree>;

// Appends one line to the list; false when libcurl could not (the list is
// then left as it was).
bool append_header(SlistPtr& list, const std::string& line) {
  curl_slist* grown = curl_slist_append(list.get(), line.c_str());
  if (grown == nullptr) return false;
  list.release();
  list.reset(grown);
  return true;
}

void set_ip_family(CURL* handle) {
  switch (get_request_iptype()) {
    case 4:
      curl_easy_setopt(handle, CURLOPT_IPRESOLVE, CURL_IPRESOLVE_V4);
      break;
    case 6:
      curl_easy_setopt(handle, CURLOPT_IPRESOLVE, CURL_IPRESOLVE_V6);
      break;
    default:
      break;
  }
}

// Certificate and host name checks on, or both off.
void set_tls_verification(CURL* handle, bool verify_tls) {
  curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, verify_tls ? 1L : 0L);
  curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, verify_tls ? 2L : 0L);
}

// A header line would end at a CR or LF, and what followed would be sent as
// header lines of its own.
bool has_line_break(const std::string& text) {
  return text.find_first_of("\r\n") != std::string::npos;
}

// Splits the node form host + "#http://" + ip + path into the host name to
// present and the URL to connect to; any other url is its own target.  False
// for a node form lacking either part.
bool split_node_form(const std::string& url, std::string& target, std::string& host_name) {
  host_name.clear();
  if (url.find("#http") == std::string::npos) {
    target = url;
    return true;
  }
  const std::vector<std::string> pieces = split(url, "#");
  if (pieces.size() < 2) return false;
  host_name = pieces[0];
  target = pieces[1];
  return true;
}

// Stops a transfer whose answer announces more than kAnswerMaxSize bytes
// before any of it comes; the write callbacks stop one that turns out longer.
void set_answer_limit(CURL* handle) {
  curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kAnswerMaxSize));
}

// The shared body of curl_get and curl_post; body is null for a GET.
int fetch_into(const std::string& url, const char* body, char* out, size_t out_size, int timeout,
               bool verify_tls) {
  EasyPtr handle(curl_easy_init());
  if (out != nullptr && out_size > 0) out[0] = '\0';
  if (!handle) return CURLE_FAILED_INIT;
  SlistPtr headers;
  if (!append_header(headers, kUserAgentLine)) return CURLE_OUT_OF_MEMORY;
  CurlBuffer sink{out, out != nullptr ? out_size : 0, 0};

  CURL* h = handle.get();
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_TIMEOUT, static_cast<long>(timeout));
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, static_cast<long>(timeout));
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, write_data);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
  set_tls_verification(h, verify_tls);
  if (body != nullptr) {
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, body);
  }
  set_ip_family(h);
  set_answer_limit(h);
  const CURLcode rc = curl_easy_perform(h);
  if (rc == CURLE_FILESIZE_EXCEEDED ||
      (rc == CURLE_WRITE_ERROR && sink.received > kAnswerMaxSize)) {
    if (out != nullptr && out_size > 0) out[0] = '\0';  // a refused answer is no answer
    return CURLE_FILESIZE_EXCEEDED;
  }
  return rc;
}

}  // namespace

int get_request_iptype() {
  std::string text;
  read_panel_text(get_path() + "/data/v4.pl", text);
  if (text.find("-4") != std::string::npos) return 4;
  if (text.find("-6") != std::string::npos) return 6;
  return 0;
}

size_t write_data(void* ptr, size_t size, size_t nmemb, void* buffer) {
  const size_t total = size * nmemb;
  auto* sink = static_cast<CurlBuffer*>(buffer);
  if (ptr == nullptr || sink == nullptr) return total;
  sink->received += total;
  if (sink->received > kAnswerMaxSize) return 0;  // stops the transfer
  if (sink->data == nullptr || sink->size == 0) return total;
  // Room left for text, keeping one byte for the terminator.
  const size_t room = sink->size - 1 - sink->used;
  size_t n = strnlen(static_cast<const char*>(ptr), total);
  if (n > room) n = room;
  memcpy(sink->data + sink->used, ptr, n);
  sink->used += n;
  sink->data[sink->used] = '\0';
  return total;
}

size_t write_data2(void* ptr, size_t size, size_t nmemb, void* str) {
  if (size == 0 || ptr == nullptr || str == nullptr) return static_cast<size_t>(-1);
  const size_t total = size * nmemb;
  auto* body = static_cast<std::string*>(str);
  if (total > kAnswerMaxSize - std::min(body->size(), kAnswerMaxSize)) {
    return static_cast<size_t>(-1);  // past the bound: the transfer stops
  }
  try {
    body->append(static_cast<const char*>(ptr), total);
  } catch (const std::exception&) {
    return static_cast<size_t>(-1);  // no exception may cross libcurl's frames
  }
  return total;
}

int curl_get(const std::string& url, char* out, size_t out_size, int timeout) {
  return curl_get(url, out, out_size, timeout, tls_verify_for(url));
}

int curl_get(const std::string& url, char* out, size_t out_size, int timeout, bool verify_tls) {
  return fetch_into(url, nullptr, out, out_size, timeout, verify_tls);
}

int curl_post(const std::string& url, const std::string& body, char* out, size_t out_size,
              int timeout) {
  return curl_post(url, body, out, out_size, timeout, tls_verify_for(url));
}

int curl_post(const std::string& url, const std::string& body, char* out, size_t out_size,
              int timeout, bool verify_tls) {
  return fetch_into(url, body.c_str(), out, out_size, timeout, verify_tls);
}

std::string curl_post2(const std::string& url, const std::string& body, const std::string& header,
                       int timeout, int& err) {
  std::string target, host_name;
  const bool verify_tls = split_node_form(url, target, host_name) && tls_verify_for(target);
  return curl_post2(url, body, header, timeout, err, verify_tls);
}

std::string curl_post2(const std::string& url, const std::string& body, const std::string& header,
                       int timeout, int& err, bool verify_tls) {
  std::string result;
  std::string target, node_host;
  if (!split_node_form(url, target, node_host)) return result;
  const std::string host_line = node_host.empty() ? std::string() : "Host: " + node_host;
  if (has_line_break(header) || has_line_break(node_host)) {
    err = CURLE_BAD_FUNCTION_ARGUMENT;
    return result;
  }

  EasyPtr handle(curl_easy_init());
  if (!handle) {
    err = CURLE_FAILED_INIT;
    return result;
  }
  SlistPtr headers;
  if (!append_header(headers, kUserAgentLine) || !append_header(headers, header) ||
      (!host_line.empty() && !append_header(headers, host_line))) {
    err = CURLE_OUT_OF_MEMORY;
    return result;
  }

  CURL* h = handle.get();
  curl_easy_setopt(h, CURLOPT_URL, target.c_str());
  curl_easy_setopt(h, CURLOPT_TIMEOUT, static_cast<long>(timeout));
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, kPost2ConnectTimeout);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, write_data2);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &result);
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
  set_tls_verification(h, verify_tls);
  curl_easy_setopt(h, CURLOPT_POST, 1L);
  curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.c_str());
  set_ip_family(h);
  set_answer_limit(h);
  err = curl_easy_perform(h);
  // write_data2 refuses a chunk only past the bound (or without memory);
  // libcurl passes at most CURL_MAX_WRITE_SIZE bytes at a time.
  const bool too_large =
      err == CURLE_FILESIZE_EXCEEDED ||
      (err == CURLE_WRITE_ERROR && result.size() + CURL_MAX_WRITE_SIZE > kAnswerMaxSize);
  if (too_large || err == CURLE_WRITE_ERROR) std::string().swap(result);
  if (too_large) err = CURLE_FILESIZE_EXCEEDED;
  return result;
}
