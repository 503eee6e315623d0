#include "loader/bytecode_cache.h"

#include <marshal.h>

#include <cstdint>

#include "util/cache_file.h"

namespace {

// A .pyc header: magic number, flags, source hash, each little-endian.
constexpr size_t kHeaderSize = 16;
constexpr size_t kSourceHashSize = 8;
constexpr uint32_t kCheckedHashFlags = 0b11;

void put_le32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

// Clears an ordinary failure.  An exception that is no Exception (the
// KeyboardInterrupt or SystemExit of a signal handler, which may run while
// the interpreter's own Python code runs) stays pending.
void clear_failure() {
  if (PyErr_Occurred() != nullptr && PyErr_ExceptionMatches(PyExc_Exception)) PyErr_Clear();
}

// The running interpreter's magic number, as importlib's _RAW_MAGIC_NUMBER;
// -1 when it cannot be had.
long magic_number() {
  static long magic = -1;
  if (magic == -1) {
    magic = PyImport_GetMagicNumber();
    if (magic == -1) clear_failure();
  }
  return magic;
}

// importlib.util.cache_from_source(name), in file-system bytes.  The
// function is importlib's own, taken from the import system's module that
// every interpreter has loaded (importlib.util re-exports it), so that the
// first load imports nothing.
bool cache_from_source(PyObject* name, std::string& out) {
  PyRef external = PyRef::steal(PyImport_ImportModule("_frozen_importlib_external"));
  PyRef cached =
      external ? PyRef::steal(PyObject_CallMethod(external.get(), "cache_from_source", "O", name))
               : PyRef();
  PyRef encoded = cached ? PyRef::steal(PyUnicode_EncodeFSDefault(cached.get())) : PyRef();
  if (!encoded) {
    clear_failure();  // NotImplementedError: this interpreter keeps no bytecode
    return false;
  }
  out.assign(PyBytes_AS_STRING(encoded.get()), PyBytes_GET_SIZE(encoded.get()));
  return true;
}

// importlib.util.source_hash(source) (imp: the _imp module), appended to out.
bool source_hash(PyObject* imp, long magic, const std::string& source, std::string& out) {
  PyRef view = PyRef::steal(PyMemoryView_FromMemory(
      const_cast<char*>(source.data()), static_cast<Py_ssize_t>(source.size()), PyBUF_READ));
  PyRef hash = view ? PyRef::steal(PyObject_CallMethod(imp, "source_hash", "lO", magic, view.get()))
                    : PyRef();
  if (!hash || !PyBytes_Check(hash.get()) || PyBytes_GET_SIZE(hash.get()) != kSourceHashSize) {
    clear_failure();
    return false;
  }
  out.append(PyBytes_AS_STRING(hash.get()), kSourceHashSize);
  return true;
}

}  // namespace

PyRef BytecodeCache::load() {
  const long magic = magic_number();
  if (magic == -1) return PyRef();
  // The name compiling gives the code of this file.
  PyRef name = PyRef::steal(PyUnicode_DecodeFSDefaultAndSize(path_.data(), path_.size()));
  PyRef imp = PyRef::steal(PyImport_ImportModule("_imp"));
  if (!name || !imp) {
    clear_failure();
    return PyRef();
  }
  put_le32(header_, static_cast<uint32_t>(magic));
  put_le32(header_, kCheckedHashFlags);
  if (!source_hash(imp.get(), magic, source_, header_) ||
      !cache_from_source(name.get(), cache_path_)) {
    cache_path_.clear();
    return PyRef();
  }

  std::string data;
  if (!read_trusted_cache_file(cache_path_, path_, data) || data.size() <= kHeaderSize ||
      data.compare(0, kHeaderSize, header_) != 0) {
    return PyRef();
  }
  PyRef code = PyRef::steal(PyMarshal_ReadObjectFromString(
      data.data() + kHeaderSize, static_cast<Py_ssize_t>(data.size() - kHeaderSize)));
  // As import does: the code names the source by the path it is loaded
  // from, whoever wrote the file and by whichever path.
  PyRef fixed = code && PyCode_Check(code.get())
                    ? PyRef::steal(PyObject_CallMethod(imp.get(), "_fix_co_filename", "OO",
                                                       code.get(), name.get()))
                    : PyRef();
  if (!fixed) {
    clear_failure();
    return PyRef();
  }
  return code;
}

void BytecodeCache::store(PyObject* code) {
  if (cache_path_.empty()) return;
  // Nothing here runs Python code, so no failure below can be a signal's.
  PyObject* dont_write = PySys_GetObject("dont_write_bytecode");  // borrowed
  if (dont_write != nullptr && PyObject_IsTrue(dont_write) != 0) {
    PyErr_Clear();
    return;
  }
  PyRef body = PyRef::steal(PyMarshal_WriteObjectToString(code, Py_MARSHAL_VERSION));
  if (!body) {
    PyErr_Clear();
    return;
  }
  std::string content;
  content.reserve(kHeaderSize + static_cast<size_t>(PyBytes_GET_SIZE(body.get())));
  content.append(header_).append(PyBytes_AS_STRING(body.get()),
                                 static_cast<size_t>(PyBytes_GET_SIZE(body.get())));
  write_cache_file(cache_path_, content, cache_file_mode(path_));
}
