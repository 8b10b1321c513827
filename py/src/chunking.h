// chunk_text and the Chunk class: the Markdown chunker as Python sees it.
#pragma once

#include "pyutil.h"

namespace tessavine::py {

// The module function chunk_text(text, max_chars=1200, markdown=True).
extern PyMethodDef chunk_text_def;

// The Chunk class, created on first use and cached for the process. Borrowed;
// null with an error set only if creating it failed.
PyObject* chunk_type();

}  // namespace tessavine::py
