// The Python class Hit: one result of hybrid search, read-only, without a
// constructor of its own and compared by identity.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "index/hybrid_search.h"
#include "pyutil.h"

namespace tessavine::py {

PyObject* hit_type();
PyObject* new_hit(const Hit& hit);

// A rank's decimal digits, or "None" when the chunk was not in that ranking.
std::string py_rank(std::optional<std::uint32_t> rank);

}  // namespace tessavine::py
