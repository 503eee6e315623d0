// Bytecode of source modules, kept where and as import keeps it: the file
// importlib.util.cache_from_source names for the source (so
// sys.pycache_prefix and the interpreter's own tag hold), as a checked
// hash-based .pyc: the running interpreter's magic number, the flags 0b11,
// the source hash of importlib.util.source_hash, then the marshalled code.
// Import itself accepts such a file.
//
// Bytecode is used only when it is certainly that of the very text being
// loaded: the magic, the flags and the hash of that text must all match,
// and the file must be trustworthy (util/cache_file.h).  A hash, not a
// time, decides, so an edit is run however soon it follows the last one.
// Anything else is ignored and, once the text is compiled, replaced.
// Writing is silent about every failure and never happens while
// sys.dont_write_bytecode is true.  Requires the interpreter lock.
#pragma once

#include <string>

#include "loader/py_ref.h"

class BytecodeCache {
 public:
  // For the text just read from the source file at path; both must outlive
  // this object.
  BytecodeCache(const std::string& path, const std::string& source)
      : path_(path), source_(source) {}

  // The code object kept for exactly this text, with the source path as its
  // file name; null when there is none to be trusted.  No error is pending
  // then, except an exception that a signal handler raised meanwhile (a
  // KeyboardInterrupt): that belongs to the caller.
  PyRef load();
  // Keeps code, compiled from this text, for later loads.  Call after load().
  void store(PyObject* code);

 private:
  const std::string& path_;
  const std::string& source_;
  std::string cache_path_;  // empty: no bytecode for this source
  std::string header_;      // what a file for this text begins with
};
