// What a result shows its caller, for tables of expected failures: "<ok>", or
// the display text of the error, whose prefix also tells its kind.
#pragma once

#include <string>

#include "base/error.h"

namespace tessavine::testing {

template <class T>
std::string result_text(const Result<T>& result) {
  return result ? "<ok>" : result.error().to_string();
}

}  // namespace tessavine::testing
