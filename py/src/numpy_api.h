// NumPy's C array API for the binding layer. module.cpp defines the API table
// (and calls import_array in the exec step); every other file only uses it.
#pragma once

#include "pyutil.h"

#define PY_ARRAY_UNIQUE_SYMBOL tessavine_ARRAY_API
#ifndef TESSAVINE_NUMPY_IMPORT
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
