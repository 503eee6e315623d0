#include "transport/exec_client.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "transport/answer_limit.h"
#include "transport/route.h"
#include "util/child_process.h"
#include "util/util.h"

namespace {

// Formats of the two command lines (two blanks stand before -H); the first
// %s is the program with the answer's size bound and, unless the certificate
// is checked, " -k".
constexpr char kPostFormat[] =
    "%s -X POST -sS --connect-timeout %d  -H \"User-Agent: libAuth\" %s %s 2>&1";
constexpr char kGetFormat[] = "%s -sS --connect-timeout %d  -H \"User-Agent: libAuth\" %s 2>&1";

// The program to run: curl refuses an answer announced longer than the bound
// (older versions of curl only those, so its output is bounded below as
// well), and runs with -k (no certificate check) unless verify_tls.
std::string curl_program(bool verify_tls) {
  return _curl_bin() + " --max-filesize " + std::to_string(kAnswerMaxSize) +
         (verify_tls ? "" : " -k");
}

// Ends the reading of curl's output once it is longer than any answer taken.
struct OutputTooLong {};

// Keeps curl's output as ExecCmd does (util/child_process.h), in out
// (out_size bytes, terminator included), and ends the reading once the
// output is longer than any answer taken.
class OutputKeeper {
 public:
  OutputKeeper(char* out, size_t out_size) : pieces_(out, out_size, kCommandReadPiece) {}
  void feed(const char* data, size_t size) {
    seen_ += size;
    // On success the output is the answer alone (-sS prints only errors).
    if (seen_ > kAnswerMaxSize) throw OutputTooLong();
    pieces_.feed(data, size);
  }

 private:
  PieceCollector pieces_;
  size_t seen_ = 0;
};

// Bytes the shell takes literally anywhere in a word.
bool shell_literal(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return strchr("%+,-./:=@_", c) != nullptr && c != '\0';
}

// Input the command line cannot carry safely: a NUL would cut the command
// short, and a leading "-" would turn the URL into one of curl's options.
bool acceptable_url(const std::string& url) {
  return url.find('\0') == std::string::npos && (url.empty() || url[0] != '-');
}

bool acceptable_fields(const std::vector<std::string>& fields) {
  for (const std::string& field : fields) {
    if (field.find('\0') != std::string::npos) return false;
  }
  return true;
}

// printf-style formatting into a std::string; "" when the result would not
// fit the command buffer.
template <typename... Args>
std::string format_command(const char* format, Args... args) {
  const int n = snprintf(nullptr, 0, format, args...);
  if (n < 0 || static_cast<size_t>(n) >= kCurlCommandSize) return std::string();
  std::string command(static_cast<size_t>(n) + 1, '\0');
  snprintf(&command[0], command.size(), format, args...);
  command.resize(static_cast<size_t>(n));
  return command;
}

// Runs a command line and judges curl's output.  curl bounds only its
// connection (--connect-timeout); the transfer after it gets kCurlTransferSeconds
// more before the child is ended, which is a failure, never an empty page.  So
// is output longer than any answer taken: curl is ended as soon as it passes.
bool run_curl(const std::string& command, int timeout, std::string& out) {
  if (command.empty()) return false;
  std::unique_ptr<char[]> buffer(new char[kCurlOutputSize]);
  const int limit_ms = (std::max(timeout, 0) + kCurlTransferSeconds) * 1000;
  OutputKeeper keeper(buffer.get(), kCurlOutputSize);
  try {
    const ChildOutcome outcome = run_shell_command(
        command, limit_ms, [&](const char* data, size_t size) { keeper.feed(data, size); });
    if (outcome != ChildOutcome::kFinished) return false;
  } catch (const OutputTooLong&) {
    return false;  // the child's process group was ended on the way out
  }
  if (strstr(buffer.get(), "curl:") != nullptr) return false;
  out.assign(buffer.get());
  return true;
}

}  // namespace

std::string _curl_bin() {
  for (const char* path :
       {"/usr/local/curl2/bin/curl", "/usr/local/curl/bin/curl", "/usr/bin/curl"}) {
    if (file_exists(path)) return path;
  }
  return "curl";
}

std::string _str_post(const std::vector<std::string>& fields) {
  std::string text;
  for (const std::string& field : fields) {
    text += "-F \"";
    for (char c : field) {
      if (c == '\\' || c == '"' || c == '$' || c == '`') text += '\\';
      text += c;
    }
    text += "\" ";
  }
  return text;
}

std::string _shell_url(const std::string& url) {
  bool literal = !url.empty();
  for (char c : url) literal = literal && shell_literal(c);
  if (literal) return url;
  // Inside single quotes nothing is special; a quote itself closes the
  // quoting, is written escaped, and reopens it.
  std::string word = "'";
  for (char c : url) {
    if (c == '\'') {
      word += "'\\''";
    } else {
      word += c;
    }
  }
  word += '\'';
  return word;
}

std::string _http_post_command(const std::string& url, int timeout,
                               const std::vector<std::string>& fields, bool verify_tls) {
  if (!acceptable_url(url) || !acceptable_fields(fields)) return std::string();
  return format_command(kPostFormat, curl_program(verify_tls).c_str(), timeout,
                        _str_post(fields).c_str(), _shell_url(url).c_str());
}

std::string _http_get_command(const std::string& url, int timeout, bool verify_tls) {
  if (!acceptable_url(url)) return std::string();
  return format_command(kGetFormat, curl_program(verify_tls).c_str(), timeout,
                        _shell_url(url).c_str());
}

bool httpPost(const std::string& url, int timeout, const std::vector<std::string>& fields,
              std::string& out) {
  return httpPost(url, timeout, fields, out, tls_verify_for(url));
}

bool httpPost(const std::string& url, int timeout, const std::vector<std::string>& fields,
              std::string& out, bool verify_tls) {
  return run_curl(_http_post_command(url, timeout, fields, verify_tls), timeout, out);
}

bool httpGet(const std::string& url, int timeout, std::string& out) {
  return httpGet(url, timeout, out, tls_verify_for(url));
}

bool httpGet(const std::string& url, int timeout, std::string& out, bool verify_tls) {
  return run_curl(_http_get_command(url, timeout, verify_tls), timeout, out);
}
