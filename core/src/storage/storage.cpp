#include "storage/storage.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>

#include "storage/fd.h"

namespace tessavine {
namespace {

// Anonymous memory for a file read whole. The allocator's route to the same
// pages (a std::vector) zero-fills them first and cannot shrink without a
// copy; a mapping is filled by the read alone and its unused end is never
// touched.
class Buffer {
 public:
  Buffer() = default;
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() {
    if (data_ != nullptr) ::munmap(data_, capacity_);
  }

  // False when the memory cannot be had.
  bool allocate(std::size_t capacity) {
    const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    if (capacity > SIZE_MAX - page) return false;
    capacity = (capacity + page - 1) / page * page;
    void* p = ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return false;
#ifdef MADV_HUGEPAGE
    // Large pages make the read's page faults rare: reading a large file into
    // fresh memory otherwise costs more in faults than in copying.
    (void)::madvise(p, capacity, MADV_HUGEPAGE);
#endif
    if (data_ != nullptr) {
      std::memcpy(p, data_, capacity_);
      ::munmap(data_, capacity_);
    }
    data_ = static_cast<std::byte*>(p);
    capacity_ = capacity;
    return true;
  }

  std::byte* data() const { return data_; }
  std::size_t capacity() const { return capacity_; }
  std::pair<std::byte*, std::size_t> release() {
    return {std::exchange(data_, nullptr), std::exchange(capacity_, 0)};
  }

 private:
  std::byte* data_ = nullptr;
  std::size_t capacity_ = 0;
};

// Linux moves at most this much per call.
constexpr std::size_t kMaxRead = 0x7ffff000;

// Reads [offset, offset + n) of the file into `at`, stopping early only at
// the end of the file; returns the bytes read.
Result<std::size_t> read_range(int fd, const std::filesystem::path& path, std::byte* at, std::size_t n,
                               std::uint64_t offset) {
  std::size_t got = 0;
  while (got < n) {
    const ssize_t r = ::pread(fd, at + got, std::min(n - got, kMaxRead), static_cast<off_t>(offset + got));
    if (r < 0) {
      if (errno == EINTR) continue;
      return fail(Error::io(path, errno));
    }
    if (r == 0) break;
    got += static_cast<std::size_t>(r);
  }
  return got;
}

// Reads to the end of the file rather than trusting the size from fstat, so a
// file that changed in between is still read whole: the buffer has room for
// one byte more than the size, and only a file that grew fills it.
Status read_all(int fd, const std::filesystem::path& path, std::uint64_t size_hint, Buffer& buf,
                std::size_t& len) {
  if (size_hint >= SIZE_MAX || !buf.allocate(static_cast<std::size_t>(size_hint) + 1)) {
    return fail(Error::io(path, ENOMEM));
  }
  auto start = read_range(fd, path, buf.data(), static_cast<std::size_t>(size_hint), 0);
  if (!start) return fail(std::move(start).error());
  len = *start;
  if (len < size_hint) return {};  // the end came early
  for (;;) {
    if (len == buf.capacity() &&
        (buf.capacity() > SIZE_MAX / 2 || !buf.allocate(buf.capacity() * 2))) {
      return fail(Error::io(path, ENOMEM));
    }
    auto got = read_range(fd, path, buf.data() + len, std::min(buf.capacity() - len, kMaxRead), len);
    if (!got) return fail(std::move(got).error());
    if (*got == 0) break;
    len += *got;
  }
  return {};
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
    Buffer buf;
    std::size_t len = 0;
    if (auto read = read_all(fd.get(), path, size, buf, len); !read) {
      return fail(std::move(read).error());
    }
    Storage s;
    const auto [data, capacity] = buf.release();
    s.data_ = data;
    s.size_ = len;
    s.anonymous_ = capacity;
    return s;
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
      anonymous_(std::exchange(other.anonymous_, 0)),
      owned_(std::move(other.owned_)) {
  other.owned_.clear();
}

Storage& Storage::operator=(Storage&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    mapped_ = std::exchange(other.mapped_, false);
    anonymous_ = std::exchange(other.anonymous_, 0);
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
  if (anonymous_ != 0) ::munmap(const_cast<std::byte*>(data_), anonymous_);
  data_ = nullptr;
  size_ = 0;
  mapped_ = false;
  anonymous_ = 0;
  owned_ = {};
}

}  // namespace tessavine
