// The stored catalog as Python objects, built in one pass over its JSON text.
#pragma once

#include <string>

#include "loader/py_ref.h"

// What json.loads makes of text decoded as UTF-8 (dicts, lists, str, int,
// float, True, False, None, object members in order, the last of duplicate
// names winning), built in one pass over the bytes.  An empty handle, with
// no interpreter error pending, when this pass cannot be sure of giving
// exactly that; the caller then decodes the text and asks json.loads.  That
// happens for every text json.loads refuses or that is not UTF-8, and for a
// few it accepts: NaN and Infinity, lone surrogate escapes, and nesting that
// comes close to the interpreter's recursion limit.  Member names up to 64
// bytes long that occur more than once are one str object.  Requires the
// interpreter lock.
PyRef json_objects_from_text(const std::string& text) noexcept;
