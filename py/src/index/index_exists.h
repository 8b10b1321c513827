// The module function index_exists.
#pragma once

#include "pyutil.h"

namespace tessavine::py {

extern PyMethodDef index_exists_def;

}  // namespace tessavine::py
