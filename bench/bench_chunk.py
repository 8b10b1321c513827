"""chunk_text: throughput over the corpus, and cost against note size.

Prints MB/s of chunk_text over every note of the corpus (default options) next
to two peers measured in the same run (a Python Markdown splitter and a
compiled one, both at 1,200 characters), then the time for three 20 MB notes
of one kind each against a 2 MB note of the same kind (a ratio near 10 means
linear cost; a 200 MB note is added to tell cache effects from the
algorithm), and finally chunks the whole corpus at max_chars 1, 7, 80 and
1200 in both modes, checking every chunk.

Corpus: "Microsoft C++, C, and Assembler documentation" by Microsoft
Corporation and contributors (CC BY 4.0) and tldr-pages (CC BY 4.0); see the
corpus README.

Run: make bench, or TESSAVINE_CORPUS=../shared/corpus .venv/bin/python bench/bench_chunk.py
"""
import importlib
import sys
import time

from common import CORPUS, best_of, ensure_modules  # noqa: E402 (also puts python/ on the path)

PEERS = {"langchain_text_splitters": "langchain-text-splitters", "semantic_text_splitter": "semantic-text-splitter"}

from tessavine._core import chunk_text  # noqa: E402


def load_peer(module):
    """The peer's module, installed into this interpreter on first use; None if it cannot be had."""
    if not ensure_modules([PEERS[module]], [module]):
        print(f"  could not install {PEERS[module]}; its column stays empty")
        return None
    return importlib.import_module(module)


def corpus_notes():
    manifest = CORPUS / "manifest.tsv"
    if not manifest.is_file():
        sys.exit(f"corpus not found at {CORPUS} (set TESSAVINE_CORPUS)")
    paths = [line.split("\t")[0] for line in manifest.read_text().splitlines()]
    return [(p, (CORPUS / p).read_bytes().decode("utf-8")) for p in paths if p.endswith(".md")]


def throughput(notes):
    texts = [t for _, t in notes]
    size = sum(len(t.encode()) for t in texts)
    rows = [("tessavine chunk_text", best_of(lambda: [chunk_text(t) for t in texts], 5))]
    lc = load_peer("langchain_text_splitters")
    if lc is not None:
        splitter = lc.MarkdownTextSplitter(chunk_size=1200, chunk_overlap=0)
        rows.append(("langchain MarkdownTextSplitter", best_of(lambda: [splitter.split_text(t) for t in texts], 1)))
    sts = load_peer("semantic_text_splitter")
    if sts is not None:
        splitter = sts.MarkdownSplitter(1200)
        rows.append(("semantic-text-splitter MarkdownSplitter", best_of(lambda: [splitter.chunks(t) for t in texts], 3)))
    print(f"\nchunk_text over the corpus: {len(texts)} notes, {size / 1e6:.1f} MB, max_chars 1200")
    print(f"{'':42}{'seconds':>10}{'MB/s':>10}{'ours ×':>10}")
    ours = rows[0][1]
    for name, seconds in rows:
        print(f"{name:42}{seconds:10.3f}{size / seconds / 1e6:10.1f}{seconds / ours:10.1f}")


def note_of(kind, size):
    if kind == "short paragraphs":
        unit = "Lorem ipsum dolor sit amet, consectetur adipiscing elit.\n\n"
        return unit * (size // len(unit))
    if kind == "one line, no white space":
        return "x" * size
    if kind == "one fenced block":
        unit = "    call(argument, other_argument);\n"
        return "```cpp\n" + unit * (size // len(unit)) + "```\n"
    raise ValueError(kind)


def scaling():
    # 2 MB fits the processor's caches and 20 MB does not, so part of the step
    # from 2 to 20 MB is memory, not the algorithm; the step from 20 to 200 MB
    # shows the cost of the algorithm alone.
    print("\ncost against note size (default options; best of 3)")
    print(f"{'note':28}{'2 MB s':>9}{'20 MB s':>9}{'200 MB s':>10}{'20/2':>7}{'200/20':>8}{'20 MB MB/s':>12}")
    for kind in ("short paragraphs", "one line, no white space", "one fenced block"):
        times = []
        for size in (2_000_000, 20_000_000, 200_000_000):
            note = note_of(kind, size)
            times.append(best_of(lambda: chunk_text(note), 3))
            del note
        t2, t20, t200 = times
        print(f"{kind:28}{t2:9.4f}{t20:9.4f}{t200:10.4f}{t20 / t2:7.1f}{t200 / t20:8.1f}{20 / t20:12.1f}")


def robustness(notes):
    print("\nwhole corpus at every size, both modes (every chunk checked)")
    for max_chars in (1, 7, 80, 1200):
        for markdown in (True, False):
            start = time.perf_counter()
            count = 0
            for path, text in notes:
                data = text.encode()
                end = 0
                for c in chunk_text(text, max_chars, markdown):
                    if not (end <= c.byte_start < c.byte_end <= len(data)) or len(c.text) > max_chars:
                        sys.exit(f"bad chunk in {path} at max_chars {max_chars}, markdown {markdown}: {c!r}")
                    end = c.byte_end
                    count += 1
            print(f"  max_chars {max_chars:5}  markdown {markdown!s:5}  {count:10} chunks  "
                  f"{time.perf_counter() - start:6.1f} s")


def main():
    notes = corpus_notes()
    throughput(notes)
    scaling()
    robustness(notes)


if __name__ == "__main__":
    main()
