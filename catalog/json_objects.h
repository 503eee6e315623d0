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
// comes close to the interpreter's recursion limit.  Member names of up to
// 64 bytes without escapes that recur are one str object (json.loads shares
// every recurring name).  Requires the interpreter lock.
PyRef json_objects_from_text(const std::string& text) noexcept;

// Whether the pass may use the processor's vector instructions beyond SSE2
// where it has them (the default); off, it takes the plain code that any
// x86-64 processor runs, which tests check on every processor.
void json_objects_use_vector_extensions(bool on) noexcept;
