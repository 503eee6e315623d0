// The loader log: an append-only text file, one record per line.
#include <cstdio>

#include "loader/loader.h"
#include "util/handles.h"
#include "util/util.h"

int Ploader::write_file2(const std::string& path, const std::string& text, const char* mode) {
  FilePtr f(fopen(path.c_str(), mode));
  if (!f) return EOF;
  int rc = fputs(text.c_str(), f.get());
  // A write that only fails when the buffer is flushed still counts.
  if (fclose(f.release()) != 0) return EOF;
  return rc;
}

void Ploader::log(const std::string& text) {
  write_file2(get_path() + "/data/plugin_loader.log", text + "\n", "a");
}
