// Two pieces of one job at once: the second on a helper thread while the
// first runs on the calling one. For work bound by what one core can move,
// such as copying a large file out of the page cache or checking it.
#pragma once

#include <exception>
#include <optional>
#include <system_error>
#include <thread>

namespace tessavine {

// Runs `second` on a helper thread and `first` on this one, and returns once
// both have ended; an exception from either is rethrown then, the first's
// before the second's. False, with nothing run, when no thread is to be had:
// the caller then does the work in one piece.
template <class First, class Second>
bool in_two(First&& first, Second&& second) {
  std::exception_ptr thrown;  // by the helper
  std::optional<std::thread> helper;
  try {
    helper.emplace([&] {
      try {
        second();
      } catch (...) {
        thrown = std::current_exception();
      }
    });
  } catch (const std::system_error&) {
    return false;
  }
  // Joined on every way out, an exception from the first included.
  struct Joiner {
    std::thread& t;
    ~Joiner() { t.join(); }
  };
  {
    const Joiner joiner{*helper};
    first();
  }
  if (thrown) std::rethrow_exception(thrown);
  return true;
}

}  // namespace tessavine
