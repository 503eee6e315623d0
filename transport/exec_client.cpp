#include "transport/exec_client.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "util/util.h"

namespace {

// Formats of the two command lines (two blanks stand before -H).
constexpr char kPostFormat[] =
    "%s -k -X POST -sS --connect-timeout %d  -H \"User-Agent: libAuth\" %s %s 2>&1";
constexpr char kGetFormat[] = "%s -k -sS --connect-timeout %d  -H \"User-Agent: libAuth\" %s 2>&1";

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

// Runs a command line and judges curl's output.
bool run_curl(const std::string& command, std::string& out) {
  if (command.empty()) return false;
  std::unique_ptr<char[]> buffer(new char[kCurlOutputSize]);
  ExecCmd(command, buffer.get(), kCurlOutputSize);
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
                               const std::vector<std::string>& fields) {
  if (!acceptable_url(url) || !acceptable_fields(fields)) return std::string();
  return format_command(kPostFormat, _curl_bin().c_str(), timeout, _str_post(fields).c_str(),
                        _shell_url(url).c_str());
}

std::string _http_get_command(const std::string& url, int timeout) {
  if (!acceptable_url(url)) return std::string();
  return format_command(kGetFormat, _curl_bin().c_str(), timeout, _shell_url(url).c_str());
}

bool httpPost(const std::string& url, int timeout, const std::vector<std::string>& fields,
              std::string& out) {
  return run_curl(_http_post_command(url, timeout, fields), out);
}

bool httpGet(const std::string& url, int timeout, std::string& out) {
  return run_curl(_http_get_command(url, timeout), out);
}
