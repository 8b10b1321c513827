// The Python class ChunkRecord: one chunk as the host hands it to a writer
// and as a reader gives it back.
#pragma once

#include "formats/docs.h"
#include "pyutil.h"

namespace tessavine::py {

// The class object, created on first use (borrowed; null with an error set).
PyObject* chunk_record_type();

// A new Python ChunkRecord holding `record`.
PyObject* new_chunk_record(ChunkRecord record);

// The core record inside a Python ChunkRecord, or null when `obj` is not one.
const ChunkRecord* chunk_record_of(PyObject* obj);

}  // namespace tessavine::py
