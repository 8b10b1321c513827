// An owned POSIX file descriptor, closed on every path out of its scope.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace tessavine {

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  // Closes now so that the caller can see the error; 0 or an errno.
  int close() {
    const int fd = std::exchange(fd_, -1);
    // Linux releases the descriptor even when close is interrupted, so
    // EINTR is not a failure and must not be retried.
    return ::close(fd) == 0 || errno == EINTR ? 0 : errno;
  }

 private:
  int fd_;
};

}  // namespace tessavine
