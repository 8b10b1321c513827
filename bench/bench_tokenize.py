"""Tokenizer throughput over the whole corpus: the core alone, the Python
function, and a plain regex tokenizer as a yardstick, in one run."""
import re
import subprocess

from common import BUILD, CORPUS, best_of, corpus_notes, table
from tessavine import _core


def core_figures():
    exe = BUILD / "bench_tokenize_core"
    out = subprocess.run([str(exe), str(CORPUS)], check=True, capture_output=True, text=True)
    nbytes, _terms, list_s, sink_s = out.stdout.split()
    return int(nbytes) / 1e6, float(list_s), float(sink_s)


def main():
    texts = [text for _, text in corpus_notes()]
    mb = sum(len(t.encode("utf-8")) for t in texts) / 1e6
    word = re.compile(r"\w+")
    ours = best_of(lambda: [_core.tokenize(t) for t in texts])
    regex = best_of(lambda: [word.findall(t.lower()) for t in texts])
    core_mb, core_list, core_sink = core_figures()
    rows = [
        ["core tokenize -> std::vector<std::string>", f"{core_mb / core_list:.1f}", f"{core_list * 1e3:.0f}"],
        ["core tokenize -> term callback", f"{core_mb / core_sink:.1f}", f"{core_sink * 1e3:.0f}"],
        ["tessavine.tokenize (Python list of str)", f"{mb / ours:.1f}", f"{ours * 1e3:.0f}"],
        ["re.findall(r'\\w+', text.lower())", f"{mb / regex:.1f}", f"{regex * 1e3:.0f}"],
    ]
    print(f"corpus: {len(texts)} notes, {mb:.1f} MB, single thread, best of 5")
    table(rows, ["tokenizer", "MB/s", "ms"])
    print(f"python tokenize vs regex: {regex / ours:.2f}x faster")


if __name__ == "__main__":
    main()
