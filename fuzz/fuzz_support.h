// Helpers shared by the fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cmath>
#include <cstdlib>
#include <string>

#include <sys/stat.h>

#include "util/util.h"

// Stops the run with a message when a property of the code under test fails;
// libFuzzer then keeps the input that caused it.
#define FUZZ_CHECK(cond)                                                          \
  do {                                                                            \
    if (!(cond)) {                                                                \
      fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #cond); \
      abort();                                                                    \
    }                                                                             \
  } while (0)

inline std::string as_text(const uint8_t* data, size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}

// Makes <panel>/data, where the panel files the targets write live.
inline void make_panel_data_dir() {
  const std::string root = get_path();
  mkdir(root.c_str(), 0755);
  mkdir((root + "/data").c_str(), 0755);
}

// Writes bytes (NULs included) as the whole content of a file.
inline void write_panel_file(const std::string& path, const std::string& bytes) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) abort();  // the scratch panel tree must be writable
  fwrite(bytes.data(), 1, bytes.size(), f);
  fclose(f);
}

// Takes the next piece of the input: one length byte, then that many bytes
// (fewer at the end of the input).
inline std::string take_piece(const uint8_t*& data, size_t& size) {
  if (size == 0) return std::string();
  size_t n = data[0];
  ++data;
  --size;
  if (n > size) n = size;
  std::string piece(reinterpret_cast<const char*>(data), n);
  data += n;
  size -= n;
  return piece;
}

// Equal JSON values, object members compared in order (so duplicate names,
// which the strict parse keeps, count like any other member).  Numbers
// written as doubles may come back a last bit off, as the default parse is
// not a full-precision one.
inline bool same_value(const rapidjson::Value& a, const rapidjson::Value& b) {
  if (a.IsDouble() || b.IsDouble()) {
    if (!a.IsNumber() || !b.IsNumber()) return false;
    const double x = a.GetDouble();
    const double y = b.GetDouble();
    return x == y || std::fabs(x - y) <= 1e-12 * std::fmax(std::fabs(x), std::fabs(y));
  }
  if (a.GetType() != b.GetType()) return false;
  if (a.IsArray()) {
    if (a.Size() != b.Size()) return false;
    for (rapidjson::SizeType i = 0; i < a.Size(); ++i) {
      if (!same_value(a[i], b[i])) return false;
    }
    return true;
  }
  if (a.IsObject()) {
    if (a.MemberCount() != b.MemberCount()) return false;
    for (auto ia = a.MemberBegin(), ib = b.MemberBegin(); ia != a.MemberEnd(); ++ia, ++ib) {
      if (!(ia->name == ib->name) || !same_value(ia->value, ib->value)) return false;
    }
    return true;
  }
  return a == b;
}

// True when the value holds a number that is not finite.
inline bool has_non_finite(const rapidjson::Value& v) {
  if (v.IsDouble()) return !std::isfinite(v.GetDouble());
  if (v.IsArray()) {
    for (const auto& item : v.GetArray()) {
      if (has_non_finite(item)) return true;
    }
  }
  if (v.IsObject()) {
    for (const auto& member : v.GetObject()) {
      if (has_non_finite(member.value)) return true;
    }
  }
  return false;
}
