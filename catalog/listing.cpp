#include "loader/py_ref.h"

#include "catalog/catalog.h"
#include "catalog/json_objects.h"
#include "loader/loader.h"
#include "loader/py_errors.h"
#include "util/util.h"

namespace {

// A download, then true unless an exception (the host's) ended it.
bool downloaded(Ploader& loader) {
  loader.download_plugin_list();
  return PyErr_Occurred() == nullptr;
}

// The stored catalog text into text, downloading the catalog first when the
// file is missing or force is 1, and once more when the text is empty.  A
// link, a special file or a file past the answer bound at the catalog's name
// reads as empty: the download then replaces it with a regular file.  False,
// with the exception pending, when the host interrupted a download.
bool read_catalog(Ploader& loader, int force, std::string& text) {
  const std::string path = catalog_file();
  if ((!file_exists(path) || force == 1) && !downloaded(loader)) return false;
  read_stored_catalog(path, text);
  if (text.empty()) {
    if (!downloaded(loader)) return false;
    read_stored_catalog(path, text);
  }
  return true;
}

// Loads the stored catalog into the loader's document unless it already
// holds one (force 1 re-reads the file); true when the root is an object
// with a "list" array.  A parsed document without one stays loaded.
bool load_catalog(Ploader& loader, int force) {
  rapidjson::Document& doc = loader.soft_list;
  if (force != 1 && !doc.IsNull()) return true;
  std::string text = loader.get_plugin_list_by_string(0);
  if (text.empty()) return false;
  if (!reload_catalog_document(doc, text)) return false;
  if (!doc.IsObject()) return false;
  auto list = doc.FindMember("list");
  return list != doc.MemberEnd() && list->value.IsArray();
}

}  // namespace

std::string Ploader::get_plugin_list_by_string(int force) {
  std::string text;
  read_catalog(*this, force, text);
  return text;
}

bool Ploader::parse_plugin_list() { return load_catalog(*this, 0); }

PyObject* Ploader::parse_plugin_list(int force) {
  const bool loaded = load_catalog(*this, force);
  if (PyErr_Occurred() != nullptr) return nullptr;  // the host interrupted its download
  return PyBool_FromLong(loaded ? 1 : 0);
}

PyObject* Ploader::get_plugin_list(PyObject* args) {
  int force = 0;
  if (!PyArg_ParseTuple(args, "i", &force)) {
    PyErr_Clear();
    force = 0;
  }
  // Nothing of the text outlives the call: a catalog of tens of megabytes
  // would otherwise stay in the panel's memory for good.
  std::string text;
  if (!read_catalog(*this, force, text)) return nullptr;
  if (text.empty()) {
    return return_error("failed to load soft list in file. please try again later. -1");
  }
  // The objects are built straight from the text when that gives exactly
  // what json.loads gives; the rest (refusals and repairs included) takes
  // the way through json.loads.
  PyRef direct = json_objects_from_text(text);
  if (direct) return direct.release();
  PyRef str = PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
  if (!str) {
    PyErr_Clear();
    if (!downloaded(*this)) return nullptr;
    return return_error("failed to parse soft list, trying repair, please try again later.");
  }
  PyRef json = PyRef::steal(PyImport_ImportModule("json"));
  PyRef loads = json ? PyRef::steal(PyObject_GetAttrString(json.get(), "loads")) : PyRef();
  PyRef result = loads ? PyRef::steal(PyObject_CallOneArg(loads.get(), str.get())) : PyRef();
  if (!result) {
    // Ctrl-C in a long parse is no fault of the stored text.
    if (host_control_pending()) return nullptr;
    PyErr_Clear();
    if (!downloaded(*this)) return nullptr;
    return return_error("invalid soft list, is auto repaired. please try again later. -2");
  }
  return result.release();
}
