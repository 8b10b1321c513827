// The one way the binding layer runs C++ work for a Python call. Core
// operations report failures as Error values, but anything that allocates may
// still throw std::bad_alloc (or std::length_error for a size beyond what a
// container can hold), and neither may unwind into the interpreter. So each
// method reads: convert the arguments, `call` the core, convert the result.
#pragma once

#include <new>
#include <optional>
#include <stdexcept>
#include <type_traits>
#include <variant>

#include "base/error.h"
#include "errors.h"
#include "pyutil.h"

namespace tessavine::py {

// What a call gives back: the value of a Result<T>, the value of an operation
// that cannot fail, or std::monostate for one that returns nothing.
template <class R>
struct CallValue {
  using type = R;
};
template <class T>
struct CallValue<Result<T>> {
  using type = T;
};
template <>
struct CallValue<void> {
  using type = std::monostate;
};

enum class Gil { Keep, Release };

// Releases the interpreter lock for its lifetime.
class GilRelease {
 public:
  GilRelease() : state_(PyEval_SaveThread()) {}
  ~GilRelease() { PyEval_RestoreThread(state_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* state_;
};

// Runs `work` and returns its value, or nothing with a Python exception set:
// MemoryError when it ran out of memory, the mapped core error when it
// returned one. With Gil::Release the interpreter lock is released exactly
// while `work` runs, so `work` must not touch any Python object; results and
// errors are converted once the lock is back.
template <Gil gil = Gil::Keep, class F>
std::optional<typename CallValue<std::invoke_result_t<F&>>::type> call(F&& work) {
  using R = std::invoke_result_t<F&>;
  const auto run = [&work]() -> R {
    if constexpr (gil == Gil::Release) {
      GilRelease release;
      return work();
    } else {
      return work();
    }
  };
  try {
    if constexpr (std::is_void_v<R>) {
      run();
      return std::monostate{};
    } else if constexpr (std::is_same_v<typename CallValue<R>::type, R>) {
      return run();
    } else {
      R result = run();
      if (result) return std::move(*result);
      errors::to_py(std::move(result).error());
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  }
  return std::nullopt;
}

template <class F>
auto call_without_gil(F&& work) {
  return call<Gil::Release>(work);
}

}  // namespace tessavine::py
