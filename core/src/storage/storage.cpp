#include "storage/storage.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <new>
#include <utility>

#include "storage/fd.h"

namespace tessavine {
namespace {

// Reads to the end of the file rather than trusting the size from fstat, so a
// file that changed in between is still read whole.
Result<std::vector<std::byte>> read_all(int fd, const std::filesystem::path& path,
                                        std::uint64_t size_hint) {
  std::vector<std::byte> buf;
  buf.resize(static_cast<std::size_t>(size_hint) + 1);
  std::size_t len = 0;
  for (;;) {
    if (len == buf.size()) buf.resize(buf.size() * 2);
    const ssize_t n = ::read(fd, buf.data() + len, buf.size() - len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(Error::io(path, errno));
    }
    if (n == 0) break;
    len += static_cast<std::size_t>(n);
  }
  buf.resize(len);
  buf.shrink_to_fit();
  return buf;
}

}  // namespace

Result<Storage> Storage::open(const std::filesystem::path& path, bool mmap) {
  // O_NONBLOCK: a FIFO put in place of an index file must not block the open;
  // it has no effect on regular files.
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) return fail(Error::io(path, errno));
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return fail(Error::io(path, errno));
  // A device or FIFO in place of an index file has no size to trust and may
  // never end (/dev/zero): refuse it rather than read until memory runs out.
  if (S_ISDIR(st.st_mode)) return fail(Error::io(path, EISDIR));
  if (!S_ISREG(st.st_mode)) return fail(Error::io_message(path, "not a regular file"));
  const std::uint64_t size = st.st_size < 0 ? 0 : static_cast<std::uint64_t>(st.st_size);

  if (!mmap || size == 0) {
    Result<std::vector<std::byte>> bytes = fail(Error::io(path, ENOMEM));
    try {
      bytes = read_all(fd.get(), path, size);
    } catch (const std::bad_alloc&) {
      // bytes keeps the out-of-memory error
    }
    if (!bytes) return fail(std::move(bytes.error()));
    return from_bytes(std::move(*bytes));
  }

  if (size > static_cast<std::uint64_t>(PTRDIFF_MAX)) {
    return fail(Error::io_message(path, "memory map length overflows isize"));
  }
  void* p = ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ, MAP_SHARED, fd.get(), 0);
  if (p == MAP_FAILED) return fail(Error::io(path, errno));
  Storage s;
  s.data_ = static_cast<const std::byte*>(p);
  s.size_ = static_cast<std::size_t>(size);
  s.mapped_ = true;
  return s;
}

Storage Storage::from_bytes(std::vector<std::byte> bytes) {
  Storage s;
  s.owned_ = std::move(bytes);
  s.data_ = s.owned_.data();
  s.size_ = s.owned_.size();
  return s;
}

Storage::Storage(Storage&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      mapped_(std::exchange(other.mapped_, false)),
      owned_(std::move(other.owned_)) {
  other.owned_.clear();
}

Storage& Storage::operator=(Storage&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    mapped_ = std::exchange(other.mapped_, false);
    owned_ = std::move(other.owned_);
    other.owned_.clear();
  }
  return *this;
}

Storage::~Storage() { release(); }

void Storage::release() noexcept {
  if (mapped_ && data_ != nullptr) {
    ::munmap(const_cast<std::byte*>(data_), size_);
  }
  data_ = nullptr;
  size_ = 0;
  mapped_ = false;
  owned_ = {};
}

}  // namespace tessavine
