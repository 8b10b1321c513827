// The module's exception classes and the mapping of core errors onto Python
// exceptions.
#pragma once

#include "base/error.h"
#include "pyutil.h"

namespace tessavine::errors {

// The exception classes, created on first use and cached for the process.
// Borrowed references; null (with an error set) only if creation failed.
PyObject* tessavine_error();
PyObject* index_format_error();
PyObject* schema_error();

// Adds TessavineError, IndexFormatError and SchemaError to the module.
bool register_classes(PyObject* module);

// Raises the Python exception for a core error and returns null. Binding
// functions reach it through `call` (call.h).
PyObject* to_py(Error error);

}  // namespace tessavine::errors
