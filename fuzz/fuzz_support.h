// Helpers shared by the fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
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
