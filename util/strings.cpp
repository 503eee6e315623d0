#include "util/util.h"

#include <cstring>

std::vector<std::string> split(const std::string& text, const std::string& separators) {
  std::vector<std::string> pieces;
  const char* p = text.c_str();  // the text ends at its first NUL byte
  const size_t len = strlen(p);
  const char* seps = separators.c_str();
  if (*seps == '\0') {
    if (len > 0) pieces.emplace_back(p, len);
    return pieces;
  }
  size_t i = 0;
  while (i < len) {
    i += strspn(p + i, seps);
    if (i >= len) break;
    size_t n = strcspn(p + i, seps);
    pieces.emplace_back(p + i, n);
    i += n;
  }
  return pieces;
}

namespace {
// isspace() of the C locale; bytes 0x80 and above never count.
bool is_c_space(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
}  // namespace

void trim(std::string& text) {
  size_t end = text.size();
  while (end > 0 && is_c_space(static_cast<unsigned char>(text[end - 1]))) --end;
  size_t begin = 0;
  while (begin < end && is_c_space(static_cast<unsigned char>(text[begin]))) ++begin;
  text.erase(end);
  text.erase(0, begin);
}

char* strlwr_s(char* buffer) {
  if (buffer == nullptr) return buffer;
  for (char* p = buffer; *p != '\0'; ++p) {
    if (*p >= 'A' && *p <= 'Z') *p = static_cast<char>(*p + 0x20);
  }
  return buffer;
}

std::string& replace_all(std::string& text, const std::string& pattern,
                         const std::string& replacement) {
  if (pattern.empty()) return text;
  size_t pos = 0;
  while ((pos = text.find(pattern, pos)) != std::string::npos) {
    text.replace(pos, pattern.size(), replacement);
    pos += replacement.size();
  }
  return text;
}

std::vector<std::string> split_bylen(const std::string& text, size_t n) {
  if (n == 0) n = 1;
  std::vector<std::string> pieces;
  const size_t len = strlen(text.c_str());
  for (size_t i = 0; i < len; i += n) pieces.emplace_back(text, i, n < len - i ? n : len - i);
  return pieces;
}

bool strncmp_s(const std::string& prefix, const std::string& text) {
  return text.compare(0, prefix.size(), prefix) == 0;
}
