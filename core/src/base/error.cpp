#include "base/error.h"

#include <cstring>

#include "base/utf8.h"

namespace tessavine {

Error Error::io(std::filesystem::path path, int os_error) {
  Error e(ErrorKind::Io);
  e.path_ = std::move(path);
  e.os_error_ = os_error;
  return e;
}

Error Error::io_message(std::filesystem::path path, std::string message) {
  Error e(ErrorKind::Io);
  e.path_ = std::move(path);
  e.message_ = std::move(message);
  return e;
}

Error Error::invalid_data(std::string message) {
  Error e(ErrorKind::InvalidData);
  e.message_ = std::move(message);
  return e;
}

Error Error::unsupported_schema(std::uint32_t found) {
  Error e(ErrorKind::UnsupportedSchema);
  e.expected_ = found;
  return e;
}

Error Error::dimension_mismatch(std::size_t expected, std::size_t got) {
  Error e(ErrorKind::DimensionMismatch);
  e.expected_ = expected;
  e.got_ = got;
  return e;
}

Error Error::invalid_argument(std::string message) {
  Error e(ErrorKind::InvalidArgument);
  e.message_ = std::move(message);
  return e;
}

std::string os_error_text(int os_error) {
  char buf[256];
  // GNU strerror_r may return a static string instead of filling buf.
  const char* text = strerror_r(os_error, buf, sizeof buf);
  return std::string(text) + " (os error " + std::to_string(os_error) + ")";
}

std::string Error::to_string() const {
  switch (kind_) {
    case ErrorKind::Io: {
      std::string source = os_error_ != 0 ? os_error_text(os_error_) : message_;
      return "I/O error on " + utf8::lossy(path_.native()) + ": " + source;
    }
    case ErrorKind::InvalidData:
      return "invalid index data: " + message_;
    case ErrorKind::UnsupportedSchema:
      return "index schema version " + std::to_string(expected_) +
             " is not supported (this build reads " + std::to_string(kSchemaVersion) +
             "); rebuild the index";
    case ErrorKind::DimensionMismatch:
      return "expected " + std::to_string(expected_) + "-dimensional vector, got " +
             std::to_string(got_);
    case ErrorKind::InvalidArgument:
      return message_;
  }
  return message_;
}

}  // namespace tessavine
