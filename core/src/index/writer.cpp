#include "index/writer.h"

#include <unistd.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <limits>

#include "index/generations.h"
#include "text/tokenize.h"
#include "base/utf8.h"

namespace tessavine {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kCreatedBy = "tessavine-core 0.2.0";

void append_search_text(std::string& out, const ChunkRecord& record) {
  for (std::size_t i = 0; i < record.heading_path.size(); ++i) {
    if (i > 0) out += ' ';
    out += record.heading_path[i];
  }
  out += '\n';
  out += record.text;
}

// Hands the terms of one text straight to the BM25 builder.
class Bm25Sink final : public TermSink {
 public:
  explicit Bm25Sink(Bm25Builder& bm25) : bm25_(bm25) {}
  void term(std::string_view t) override { bm25_.add_term(t); }

 private:
  Bm25Builder& bm25_;
};

std::string u128_decimal(unsigned __int128 v) {
  std::string digits;
  do {
    digits += static_cast<char>('0' + static_cast<int>(v % 10));
    v /= 10;
  } while (v != 0);
  std::reverse(digits.begin(), digits.end());
  return digits;
}

// Freed builder memory that sits in the allocator's heap (tables below the
// allocator's threshold for separate mappings) is kept for reuse, but the
// images that follow are large allocations that cannot reuse it. Handing
// those pages back first keeps them from counting twice in the commit's peak
// memory.
void release_free_memory() {
#ifdef __GLIBC__
  ::malloc_trim(0);
#endif
}

std::span<const std::byte> bytes_of(std::string_view s) {
  return std::as_bytes(std::span<const char>(s.data(), s.size()));
}

// CURRENT as the commit reads it: absent, or naming a generation.
Result<std::optional<CurrentName>> read_current_if_any(const fs::path& root, FileSystem& fs) {
  auto current = read_current(root, fs);
  if (current) return std::optional<CurrentName>(std::move(*current));
  if (is_missing(current.error())) return std::optional<CurrentName>();
  return fail(std::move(current).error());
}

// Removes what interrupted commits left: temporary generation directories and
// temporary CURRENT files, whoever made them. Removal failures are ignored.
Status sweep_temporaries(const fs::path& root, FileSystem& fs) {
  auto names = fs.list_dir(root);
  if (!names) return fail(std::move(names).error());
  for (const std::string& name : *names) {
    if (!utf8::valid(name)) continue;
    const fs::path path = root / name;
    if (name.starts_with(".tmp-")) {
      auto type = fs.stat(path);
      if (type && *type == FileType::Directory) (void)fs.remove_all(path);
    } else if (name.starts_with("CURRENT.tmp-")) {
      (void)fs.remove_file(path);
    }
  }
  return {};
}

// Removes every listed generation except those `keep` accepts, by the name
// the writer gives that number. Removal failures are ignored.
template <class Keep>
Status remove_generations(const fs::path& root, FileSystem& fs, Keep keep) {
  auto numbers = list_generations(root, fs);
  if (!numbers) return fail(std::move(numbers).error());
  for (const std::uint64_t n : *numbers) {
    if (!keep(n)) (void)fs.remove_all(root / generation_dir_name(n));
  }
  return {};
}

}  // namespace

std::string search_text(const ChunkRecord& record) {
  std::string out;
  append_search_text(out, record);
  return out;
}

std::string unique_suffix() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  unsigned __int128 nanos = 0;
  if (now.tv_sec >= 0) {
    nanos = static_cast<unsigned __int128>(now.tv_sec) * 1'000'000'000u +
            static_cast<unsigned __int128>(now.tv_nsec);
  }
  return std::to_string(::getpid()) + "-" + u128_decimal(nanos);
}

IndexWriter::IndexWriter(WriterOptions options) : options_(std::move(options)) {
  if (options_.dim != 0) vectors_.emplace(static_cast<std::size_t>(options_.dim));
}

Result<std::uint32_t> IndexWriter::add(const ChunkRecord& record,
                                       std::optional<std::span<const float>> embedding) {
  if (!vectors_ && embedding) {
    return fail(Error::invalid_argument("this index is keyword-only (dim = 0); remove the embedding"));
  }
  if (vectors_ && !embedding) {
    return fail(Error::invalid_argument("this index stores embeddings; every chunk needs one"));
  }
  // Checked here as well as by the docs builder, so that a vector is never
  // stored for a chunk the docs builder then refuses.
  if (docs_.size() > std::numeric_limits<std::uint32_t>::max()) return fail(exceeds_u32("chunk count"));
  if (embedding) {
    auto added = vectors_->add(*embedding);
    if (!added) return fail(std::move(added).error());
  }
  auto id = docs_.add(record);
  if (!id) return fail(std::move(id).error());

  text_scratch_.clear();
  append_search_text(text_scratch_, record);
  Bm25Sink sink(bm25_);
  tokenize(text_scratch_, sink);
  bm25_.end_document();
  return *id;
}

std::vector<std::string_view> PreparedGeneration::file_names() const {
  std::vector<std::string_view> names = {"docs.bin", "bm25.bin"};
  if (vectors_) names.push_back("vectors.bin");
  return names;
}

std::span<const std::byte> PreparedGeneration::take_image(std::size_t i) {
  // prepare has run every check the builders' finish makes, so these cannot
  // fail but for memory, which throws.
  Result<MappedBuffer> image;
  if (i == 0) {
    image = std::move(docs_).finish_mapped();
  } else if (i == 1) {
    image = std::move(bm25_).finish_mapped(bm25_settings_.k1, bm25_settings_.b, std::move(image_));
  } else {
    image = std::move(*vectors_).finish_mapped(std::move(image_));
    vectors_.reset();
  }
  image_ = std::move(image).value();
  // What the next image will not need goes back now: pages freed here are
  // the ones the system hands out next, to the page cache of the file this
  // image is written to.
  const std::vector<std::string_view> names = file_names();
  next_size_ = i + 1 < names.size() ? manifest.files.at(std::string(names[i + 1])) : 0;
  image_.release_unused(next_size_);
  release_free_memory();
  return image_.bytes();
}

void PreparedGeneration::written(std::size_t n) noexcept {
  // Handed back while the image is written, this memory is what the page
  // cache takes for the rest of it.
  image_.discard(next_size_, n);
}

Result<PreparedGeneration> IndexWriter::prepare(std::uint64_t generation) && {
  // Moved out at once, so that the builders go with this call on failure.
  PreparedGeneration out;
  out.docs_ = std::move(docs_);
  out.bm25_ = std::move(bm25_);
  out.vectors_ = std::move(vectors_);
  vectors_.reset();
  const WriterOptions options = std::move(options_);
  out.bm25_settings_ = options.bm25;

  const std::size_t n_chunks = out.docs_.size();
  if (n_chunks > std::numeric_limits<std::uint32_t>::max()) return fail(exceeds_u32("chunk count"));
  auto docs_size = out.docs_.image_size();
  if (!docs_size) return fail(std::move(docs_size).error());
  auto bm25_size = out.bm25_.image_size();
  if (!bm25_size) return fail(std::move(bm25_size).error());
  Manifest& m = out.manifest;
  m.files["docs.bin"] = *docs_size;
  m.files["bm25.bin"] = *bm25_size;
  if (out.vectors_) {
    auto vectors_size = out.vectors_->image_size();
    if (!vectors_size) return fail(std::move(vectors_size).error());
    m.files["vectors.bin"] = *vectors_size;
  }
  if (options.dim > std::numeric_limits<std::uint32_t>::max()) return fail(exceeds_u32("dimension"));
  m.format = std::string(kManifestFormat);
  m.schema_version = kSchemaVersion;
  m.created_by = std::string(kCreatedBy);
  m.generation = generation;
  m.n_chunks = static_cast<std::uint32_t>(n_chunks);
  m.dim = static_cast<std::uint32_t>(options.dim);
  m.embedder = options.embedder;
  m.bm25 = options.bm25;
  m.metadata = options.metadata;
  return out;
}

Result<BuiltGeneration> IndexWriter::build(std::uint64_t generation) && {
  auto prepared = std::move(*this).prepare(generation);
  if (!prepared) return fail(std::move(prepared).error());
  const auto copy = [](std::span<const std::byte> image) {
    return std::vector<std::byte>(image.begin(), image.end());
  };
  BuiltGeneration built;
  built.docs = copy(prepared->take_image(0));
  built.bm25 = copy(prepared->take_image(1));
  if (prepared->file_names().size() > 2) built.vectors = copy(prepared->take_image(2));
  built.manifest = std::move(prepared->manifest);
  return built;
}

Result<CommitInfo> IndexWriter::commit(const fs::path& root, FileSystem& fs) && {
  // Taken over at once: the writer is consumed however the commit ends.
  IndexWriter writer = std::move(*this);

  if (auto created = fs.create_directories(root); !created) return fail(std::move(created).error());
  // Commits into one root take turns, whichever thread or process makes them:
  // each one reads CURRENT only once the one before it has published, so no
  // two choose the same generation, and whatever temporary or unnamed
  // generation the sweeps below find was left by a commit that is no longer
  // running. Released on every path out of this function.
  auto lock = fs.lock_dir(root);
  if (!lock) return fail(std::move(lock).error());

  auto current_or = read_current_if_any(root, fs);
  if (!current_or) return fail(std::move(current_or).error());
  const bool has_current = current_or->has_value();
  const std::uint64_t current_n = has_current ? (*current_or)->number : 0;

  // Under the lock, anything temporary and any generation newer than CURRENT
  // is left over from an interrupted commit.
  if (auto swept = sweep_temporaries(root, fs); !swept) return fail(std::move(swept).error());
  auto swept = remove_generations(root, fs, [&](std::uint64_t n) { return has_current && n <= current_n; });
  if (!swept) return fail(std::move(swept).error());

  // A generation that could not be removed is skipped, never overwritten.
  auto listed = list_generations(root, fs);
  if (!listed) return fail(std::move(listed).error());
  const bool any = has_current || !listed->empty();
  const std::uint64_t highest = std::max(current_n, listed->empty() ? 0 : listed->back());
  // Wrapping around to 0 would reuse a name below CURRENT's and make the
  // next commit sweep away every generation it finds.
  if (any && highest == std::numeric_limits<std::uint64_t>::max()) {
    return fail(Error::invalid_data("generation number exceeds u64::MAX"));
  }
  const std::uint64_t generation = any ? highest + 1 : 1;

  auto prepared_or = std::move(writer).prepare(generation);
  if (!prepared_or) return fail(std::move(prepared_or).error());
  PreparedGeneration built = std::move(*prepared_or);
  const std::vector<std::string_view> files = built.file_names();

  const std::string suffix = unique_suffix();
  const std::string name = generation_dir_name(generation);
  const fs::path final_dir = root / name;
  const fs::path temp_dir = root / (".tmp-" + name + "-" + suffix);
  const fs::path temp_current = root / ("CURRENT.tmp-" + suffix);
  const fs::path current_path = root / kCurrentFileName;

  bool temp_created = false;
  bool moved = false;
  const auto publish = [&]() -> Status {
    if (auto r = fs.create_dir(temp_dir); !r) return r;
    temp_created = true;
    // Each image is made just before it is written and freed right after,
    // and none is synced before all are written: the disk takes one while
    // the next is made.
    for (std::size_t i = 0; i < files.size(); ++i) {
      const auto written = [&built](std::size_t n) { built.written(n); };
      if (auto r = fs.write_unsynced(temp_dir / files[i], built.take_image(i), written); !r) return r;
    }
    for (const std::string_view file : files) {
      if (auto r = fs.sync_file(temp_dir / file); !r) return r;
    }
    auto manifest = built.manifest.to_json();
    if (!manifest) return fail(std::move(manifest).error());
    if (auto r = fs.write_synced(temp_dir / "manifest.json", bytes_of(*manifest)); !r) return r;
    if (auto r = fs.sync_dir(temp_dir); !r) return r;
    if (auto r = fs.rename(temp_dir, final_dir); !r) return r;
    moved = true;
    if (auto r = fs.sync_dir(root); !r) return r;
    if (auto r = fs.write_synced(temp_current, bytes_of(name + "\n")); !r) return r;
    return fs.rename(temp_current, current_path);
  };

  if (auto published = publish(); !published) {
    if (moved) {
      // A rename can report failure although it took effect (a lost reply on
      // a network file system). The generation CURRENT names must stay, so
      // CURRENT is read again before the new directory is removed.
      auto now = read_current(root, fs);
      if (!now || now->name != name) (void)fs.remove_all(final_dir);
    } else if (temp_created) {
      (void)fs.remove_all(temp_dir);
    }
    (void)fs.remove_file(temp_current);
    return fail(std::move(published).error());
  }

  // CURRENT already names the new generation, so it stays whatever happens
  // now. If this sync fails, the rename of CURRENT may not survive a crash:
  // the commit is reported as failed, because the host must not take it as
  // durable, and the older generations are kept, so that the one CURRENT
  // named before is still there should the old CURRENT come back. The next
  // commit starts from whatever CURRENT then names.
  if (auto synced = fs.sync_dir(root); !synced) return fail(std::move(synced).error());

  const std::uint64_t previous = has_current ? current_n : generation;
  auto cleaned = remove_generations(root, fs, [&](std::uint64_t n) {
    return n == generation || n == previous;
  });
  if (!cleaned) return fail(std::move(cleaned).error());

  return CommitInfo{final_dir, generation, built.manifest.n_chunks};
}

}  // namespace tessavine
