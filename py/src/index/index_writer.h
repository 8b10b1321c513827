// The Python class IndexWriter: collects chunks, then commits them as one
// generation with the interpreter lock released.
#pragma once

#include "pyutil.h"

namespace tessavine::py {

PyObject* index_writer_type();

}  // namespace tessavine::py
