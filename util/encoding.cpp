#include "util/util.h"

#include <cstring>
#include <memory>

#include <iconv.h>

namespace {

struct IconvCloser {
  void operator()(void* cd) const noexcept { iconv_close(static_cast<iconv_t>(cd)); }
};
using IconvPtr = std::unique_ptr<void, IconvCloser>;

int convert(const char* to, const char* from, const char* in, size_t in_length, char* out,
            size_t out_size) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return -1;
  IconvPtr guard(cd);
  memset(out, 0, out_size);
  char* src = const_cast<char*>(in);
  size_t src_left = in_length;
  char* dst = out;
  size_t dst_left = out_size;
  // One call; stopping early (bad sequence, no room) still counts as done.
  iconv(cd, &src, &src_left, &dst, &dst_left);
  return 0;
}

}  // namespace

int GbkToUtf8(const char* in, size_t in_length, char* out, size_t out_size) {
  return convert("utf8", "gbk", in, in_length, out, out_size);
}

int Utf8ToGbk(const char* in, size_t in_length, char* out, size_t out_size) {
  return convert("gbk", "utf8", in, in_length, out, out_size);
}

std::string to_utf8(const std::string& text) {
  // The input copy keeps at most kEncodingBufferSize - 1 bytes; the output
  // gets one byte less room than its size so that it always stays
  // terminated (a longer conversion is cut).
  std::unique_ptr<char[]> input(new char[kEncodingBufferSize]);
  std::unique_ptr<char[]> output(new char[kEncodingBufferSize]);
  size_t n = strnlen(text.c_str(), kEncodingBufferSize - 1);
  memcpy(input.get(), text.data(), n);
  input[n] = '\0';
  output[kEncodingBufferSize - 1] = '\0';
  if (GbkToUtf8(input.get(), n, output.get(), kEncodingBufferSize - 1) != 0) return std::string();
  return std::string(output.get(), strnlen(output.get(), kEncodingBufferSize - 1));
}

std::string to_unicode(const std::string& text) { return text; }
