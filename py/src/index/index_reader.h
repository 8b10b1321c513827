// The Python class IndexReader: opens the live generation of an index root
// and answers queries on it, with the interpreter lock released while the
// core opens or searches.
#pragma once

#include "pyutil.h"

namespace tessavine::py {

PyObject* index_reader_type();

}  // namespace tessavine::py
