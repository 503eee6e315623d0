// Helpers shared by the C++ tests.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#ifdef PL_COVERAGE
extern "C" void __gcov_dump(void);
#endif

// Ends a forked child of a test at once, as _exit does; in a build with
// coverage counters they are written first (_exit skips that).
[[noreturn]] inline void end_child(int code) {
#ifdef PL_COVERAGE
  __gcov_dump();
#endif
  _exit(code);
}

// A scratch directory removed with its contents when the object goes away.
class ScratchDir {
 public:
  ScratchDir() {
    char tmpl[] = "/tmp/pl-test-XXXXXX";
    const char* dir = mkdtemp(tmpl);
    path_ = dir != nullptr ? dir : "";
  }
  ~ScratchDir() {
    if (!path_.empty()) {
      std::string cmd = "rm -rf '" + path_ + "'";
      if (system(cmd.c_str()) != 0) perror("rm");
    }
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Writes bytes (NULs included) to a file.
inline void write_bytes(const std::string& path, const std::string& bytes) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) return;
  fwrite(bytes.data(), 1, bytes.size(), f);
  fclose(f);
}

inline std::string read_bytes(const std::string& path) {
  std::string out;
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  fclose(f);
  return out;
}
