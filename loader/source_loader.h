// The two source loaders, for callers that have just examined the file: the
// runners pass on the status they took while looking for the file, so a
// cached module costs no second status call.  Requires the interpreter lock.
#pragma once

#include <string>

#include "util/util.h"

class Ploader;
struct _object;
typedef struct _object PyObject;

// Plugin entry at path (status: of that path); the module or an error result.
PyObject* load_plugin_source(Ploader& loader, const std::string& path, const FileStatus& status);
// Panel class module at path; the module or an error result.
PyObject* load_class_source(Ploader& loader, const std::string& path, const FileStatus& status);
