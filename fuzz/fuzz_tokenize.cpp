// tokenize: the list and the streaming form agree, and every term is a
// non-empty run of alphanumerics that lower-casing leaves unchanged, neither a
// stop-word nor a single character other than an ASCII digit.

#include "base/unicode.h"
#include "base/utf8.h"
#include "text/tokenize.h"

struct Collect final : tessavine::TermSink {
  std::vector<std::string> terms;
  void term(std::string_view t) override { terms.emplace_back(t); }
};

static void check_term(std::string_view term) {
  using namespace tessavine;
  if (term.empty() || is_stop_word(term)) __builtin_trap();
  std::size_t chars = 0;
  for (std::size_t i = 0; i < term.size(); ++chars)
    if (!unicode::is_alphanumeric(utf8::decode(term, i))) __builtin_trap();
  if (chars == 1 && !(term.size() == 1 && term[0] >= '0' && term[0] <= '9')) __builtin_trap();
  std::string lower;
  unicode::append_lowercase(lower, term);
  if (lower != term) __builtin_trap();
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> terms = tessavine::tokenize(text);
  Collect sink;
  tessavine::tokenize(text, sink);
  if (sink.terms != terms) __builtin_trap();
  // Ill-formed bytes only have to be handled safely.
  if (!tessavine::utf8::valid(text)) return 0;
  for (const std::string& term : terms) check_term(term);
  return 0;
}
