// Loads Python source files as modules named by their full path, executing a
// file again only when it changed (its time at full precision, its size or
// its inode) since it was served.
//
// A current module is answered from sys.modules without any lock, as an
// import answers a module that is not being initialised.  Otherwise the
// caller takes the file's load lock (loader/load_lock.h): one caller reads,
// compiles and executes the file while the others wait as an import waits,
// then get the finished module, or the error that load ended in.  The stamp
// of a file is recorded only once its code compiled and ran, so a failed load
// is tried again on the next call.  A load the host interrupts (Ctrl-C, a
// greenlet's Timeout) ends that caller's call with the host's exception and
// is no failure for the others: they load the file themselves.
#include "loader/source_loader.h"

#include "loader/py_ref.h"

#include <string>

#include "loader/bytecode_cache.h"
#include "loader/load_lock.h"
#include "loader/loader.h"
#include "loader/py_errors.h"
#include "util/util.h"

namespace {

enum class SourceKind { kPlugin, kClass };

// Entries of 9 bytes or less cannot hold a plugin class.
constexpr int64_t kMinPluginEntrySize = 10;
constexpr const char* kInvalidPluginEntry = "load plugin failed: invalid plugin entry";

// The module under path in sys.modules, or null (no error pending).
PyRef loaded_module(Ploader& loader, const std::string& path, PyObject*& failure) {
  PyRef name = PyRef::steal(PyUnicode_FromStringAndSize(path.data(), path.size()));
  if (!name) {
    failure = loader.get_error_info();
    return PyRef();
  }
  PyRef module = PyRef::steal(PyImport_GetModule(name.get()));
  if (!module && PyErr_Occurred()) PyErr_Clear();
  return module;
}

// An error result whose text also goes to the threads waiting on this load.
// Null (the host's exception pending: a Timeout, Ctrl-C) is the interrupted
// caller's alone and is recorded for nobody: the waiters load the file
// themselves.
PyObject* failed(LoadLockGuard& guard, const FileStamp& stamp, PyObject* result) {
  if (result != nullptr && PyDict_CheckExact(result)) {
    PyObject* msg = PyDict_GetItemString(result, "msg");
    const char* text = msg != nullptr ? PyUnicode_AsUTF8(msg) : nullptr;
    if (text != nullptr) {
      guard.set_failure(stamp, text);
    } else {
      PyErr_Clear();
    }
  }
  return result;
}

// In a child process just forked: the loads the parent's other callers had
// under way are forgotten (LoadLockGuard::forget_others_after_fork), and so
// is what they left behind, the half-executed module and the file's
// recorded stamp, so that the child's first call loads the file afresh.
PyObject* forget_loads_after_fork(PyObject* /*self*/, PyObject* /*args*/) noexcept {
  try {
    for (const std::string& path : LoadLockGuard::forget_others_after_fork()) {
      PyRef name = PyRef::steal(PyUnicode_FromStringAndSize(path.data(), path.size()));
      if (!name || PyDict_DelItem(PyImport_GetModuleDict(), name.get()) != 0) PyErr_Clear();
      Ps.mtime_cache.erase(path);
    }
  } catch (...) {
    return PyErr_NoMemory();
  }
  Py_RETURN_NONE;
}

// Has forget_loads_after_fork run in every child forked from now on
// (os.register_at_fork), once per process; a failure is passed over.
void watch_forks() {
  static bool registered = false;
  if (registered) return;
  registered = true;
  static PyMethodDef forget = {"_forget_loads_after_fork", forget_loads_after_fork, METH_NOARGS,
                               nullptr};
  PyRef hook = PyRef::steal(PyCFunction_New(&forget, nullptr));
  PyRef os = PyRef::steal(PyImport_ImportModule("os"));
  PyRef at_fork = os ? PyRef::steal(PyObject_GetAttrString(os.get(), "register_at_fork")) : PyRef();
  PyRef no_args = PyRef::steal(PyTuple_New(0));
  PyRef kwargs =
      hook ? PyRef::steal(Py_BuildValue("{s:O}", "after_in_child", hook.get())) : PyRef();
  PyRef done = at_fork && no_args && kwargs
                   ? PyRef::steal(PyObject_Call(at_fork.get(), no_args.get(), kwargs.get()))
                   : PyRef();
  if (!done) PyErr_Clear();
}

// Compiles source as the code of the file at path; null with the error
// result in failure when both attempts fail, or with the host's exception
// pending (failure null) when it interrupted them.
PyRef compile_source(Ploader& loader, const std::string& source, const std::string& path,
                     SourceKind kind, PyObject*& failure) {
  PyRef code = PyRef::steal(
      Py_CompileStringExFlags(source.c_str(), path.c_str(), Py_file_input, nullptr, -1));
  if (code) return code;
  if (host_control_pending()) return code;
  if (kind == SourceKind::kPlugin) {
    print_error_and_clear();
  } else {
    PyErr_Clear();
  }
  PyRef builtins = PyRef::steal(PyImport_ImportModule("builtins"));
  if (builtins) {
    code = PyRef::steal(PyObject_CallMethod(builtins.get(), "compile", "sss", source.c_str(),
                                            path.c_str(), "exec"));
  }
  if (!code) failure = loader.get_error_info();
  return code;
}

PyObject* load_source_module(Ploader& loader, const std::string& path, const FileStatus& given,
                             SourceKind kind) {
  PyObject* failure = nullptr;
  // A module served for this very file, with no load of it under way.
  if (given.regular && (kind == SourceKind::kClass || given.size >= kMinPluginEntrySize) &&
      !LoadLockGuard::busy(path)) {
    auto recorded = loader.mtime_cache.find(path);
    if (recorded != loader.mtime_cache.end() && recorded->second == given.stamp()) {
      PyRef module = loaded_module(loader, path, failure);
      if (module) return module.release();
      if (failure != nullptr) return failure;
    }
  }

  watch_forks();
  LoadLockGuard guard(path);
  switch (guard.state()) {
    case LoadLockState::kOwned:
      break;
    case LoadLockState::kInterrupted:
      // The exception a signal handler raised while this caller waited
      // belongs to the caller's own control flow.
      return nullptr;
    case LoadLockState::kReentered:
    case LoadLockState::kDeadlock: {
      // The file's own code asks for the file, or waiting would close a
      // cycle of callers waiting for each other: like a module importing
      // itself, the caller gets the module as far as its code has run.
      PyRef partial = loaded_module(loader, path, failure);
      if (partial) return partial.release();
      if (failure != nullptr) return failure;
      return loader.return_error("load error: " + path + " is being loaded");
    }
  }

  // After a wait, the status given is older than the load just ended.
  const FileStatus status = guard.waited_for_load() ? file_status(path.c_str()) : given;
  std::string shared;
  if (guard.shared_failure(status.stamp(), shared)) return loader.return_error(shared);

  const std::string unreadable = "load error: cannot read " + path;
  if (status.exists && !status.regular) {
    // A directory, FIFO or device: nothing to read, and nothing to record.
    return failed(guard, status.stamp(), loader.return_error(unreadable));
  }
  PyRef module = loaded_module(loader, path, failure);
  if (failure != nullptr) return failure;
  auto recorded = loader.mtime_cache.find(path);
  const bool current =
      module && recorded != loader.mtime_cache.end() && recorded->second == status.stamp();

  if (kind == SourceKind::kPlugin && status.size < kMinPluginEntrySize) {
    return loader.return_error(kInvalidPluginEntry);
  }
  if (current) return module.release();
  // Stale: the new code runs again in this same module object, which stays
  // in sys.modules meanwhile.
  module.reset();
  if (kind == SourceKind::kClass && !status.exists) {
    // Nothing to execute: an empty module under this name would hide the
    // mistake from the caller.
    return loader.return_error("module not found");
  }

  // The stamp that counts is that of the file actually read.
  std::string source;
  FileStatus read;
  if (!file_get_contents(path, source, &read)) {
    return failed(guard, status.stamp(), loader.return_error(unreadable));
  }
  if (kind == SourceKind::kPlugin && read.size < kMinPluginEntrySize) {
    return loader.return_error(kInvalidPluginEntry);
  }
  // Bytecode kept for exactly this text spares compiling it.
  BytecodeCache bytecode(path, source);
  PyRef code = bytecode.load();
  if (!code) {
    // A signal handler's exception, raised meanwhile, is this caller's own.
    if (PyErr_Occurred()) return nullptr;
    code = compile_source(loader, source, path, kind, failure);
    if (!code) return failed(guard, read.stamp(), failure);
    bytecode.store(code.get());
  }

  // Creates the module, or runs the code again in the one already in
  // sys.modules; a failure takes the name out of sys.modules.
  PyRef executed = PyRef::steal(PyImport_ExecCodeModule(path.c_str(), code.get()));
  if (!executed) return failed(guard, read.stamp(), loader.get_error_info());
  loader.mtime_cache[path] = read.stamp();
  return executed.release();
}

}  // namespace

PyObject* load_plugin_source(Ploader& loader, const std::string& path, const FileStatus& status) {
  return load_source_module(loader, path, status, SourceKind::kPlugin);
}

PyObject* load_class_source(Ploader& loader, const std::string& path, const FileStatus& status) {
  return load_source_module(loader, path, status, SourceKind::kClass);
}

// One status call gives the time and the size.
PyObject* Ploader::get_plugin_module(const std::string& path) {
  return load_plugin_source(*this, path, file_status(path.c_str()));
}

PyObject* Ploader::get_class_module(const std::string& path) {
  return load_class_source(*this, path, file_status(path.c_str()));
}

PyObject* Ploader::get_class_module(const std::string& path, const std::string& /*name*/) {
  return get_class_module(path);
}
