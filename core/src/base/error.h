// The one error type of the core. Every core operation returns its result or
// an Error by value; "never fails" means it returns no Error. Running out of
// memory is the one thing thrown: anything that allocates may throw
// std::bad_alloc (or std::length_error), which the binding layer turns into
// MemoryError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <string>
#include <string_view>

namespace tessavine {

// Declared in this order; the binding layer maps each kind to one Python class.
enum class ErrorKind { Io, InvalidData, UnsupportedSchema, DimensionMismatch, InvalidArgument };

// The schema version this build reads and writes.
inline constexpr std::uint32_t kSchemaVersion = 2;

class Error {
 public:
  // An I/O failure with an operating-system error number.
  static Error io(std::filesystem::path path, int os_error);
  // An I/O failure that carries only a message (no error number).
  static Error io_message(std::filesystem::path path, std::string message);
  static Error invalid_data(std::string message);
  static Error unsupported_schema(std::uint32_t found);
  static Error dimension_mismatch(std::size_t expected, std::size_t got);
  static Error invalid_argument(std::string message);

  ErrorKind kind() const { return kind_; }
  // Io: the path worked on. Empty for the other kinds.
  const std::filesystem::path& path() const { return path_; }
  // Io: the OS error number, 0 when the error carries only a message.
  int os_error() const { return os_error_; }
  // InvalidData / InvalidArgument: the message; Io: the message-only text.
  const std::string& message() const { return message_; }

  // The display text shown to users (the Python exception's only argument).
  std::string to_string() const;

 private:
  explicit Error(ErrorKind kind) : kind_(kind) {}

  ErrorKind kind_;
  std::filesystem::path path_;
  int os_error_ = 0;
  std::string message_;
  std::uint64_t expected_ = 0;  // DimensionMismatch expected / UnsupportedSchema found
  std::uint64_t got_ = 0;       // DimensionMismatch got
};

template <class T>
using Result = std::expected<T, Error>;
using Status = std::expected<void, Error>;

// `return fail(Error::invalid_data("..."));` in any function returning Result<T>.
inline std::unexpected<Error> fail(Error e) { return std::unexpected<Error>(std::move(e)); }

// The shared form of every 32-bit size limit: "{label} exceeds u32::MAX".
inline Error exceeds_u32(std::string_view label) {
  return Error::invalid_data(std::string(label) + " exceeds u32::MAX");
}

// The OS description of an error number followed by " (os error N)".
std::string os_error_text(int os_error);

}  // namespace tessavine
