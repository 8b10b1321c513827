// The Python class CommitInfo: what a successful commit published.
#pragma once

#include "index/writer.h"
#include "pyutil.h"

namespace tessavine::py {

PyObject* commit_info_type();
PyObject* new_commit_info(CommitInfo info);

}  // namespace tessavine::py
