"""Snippets: the best short window of a chunk, with the query's terms marked.

Words, their case folding and the identifier parts all come from the
module's own `tokenize`, so a word is marked exactly when the keyword index
matched one of its terms: "parser" marks the Parser of XMLParser, a Greek
ΣΟΦΙΑ is found by σοφια, and stop-words are never marked.
"""
from __future__ import annotations

import re
import unicodedata
from dataclasses import dataclass
from functools import lru_cache

from tessavine._core import tokenize

WIDTH = 200
ELLIPSIS = "…"


@dataclass(frozen=True)
class Snippet:
    """A window of a chunk's text (white space collapsed) and the character
    spans of its marked terms, in order."""

    text: str
    spans: tuple[tuple[int, int], ...]

    def marked(self, before: str = "**", after: str = "**") -> str:
        out, last = [], 0
        for start, end in self.spans:
            out += [self.text[last:start], before, self.text[start:end], after]
            last = end
        out.append(self.text[last:])
        return "".join(out)

    def __str__(self) -> str:
        return self.marked()


@lru_cache(maxsize=4096)
def _is_word_char(c: str) -> bool:
    # The tokenizer's own verdict: a separator between two x leaves two
    # one-letter words, which it drops; a letter or digit joins them.
    return bool(tokenize(f"x{c}x"))


def _alphabetic(c: str) -> bool:
    return unicodedata.category(c) not in ("Nd", "No")


def _parts(word: str) -> list[tuple[int, int]]:
    """The identifier parts of a word as the tokenizer cuts them: at
    lower/upper case changes, before the last capital of a run of capitals
    followed by a small letter, and between letters and digits."""
    cuts = [0]
    for i in range(1, len(word)):
        prev, cur = word[i - 1], word[i]
        nxt = word[i + 1] if i + 1 < len(word) else ""
        if ((prev.islower() and cur.isupper())
                or (prev.isupper() and cur.isupper() and nxt.islower())
                or _alphabetic(prev) != _alphabetic(cur)):
            cuts.append(i)
    cuts.append(len(word))
    return list(zip(cuts, cuts[1:]))


def _words(text: str) -> list[tuple[int, int]]:
    spans, start = [], -1
    for i, c in enumerate(text):
        if _is_word_char(c):
            if start < 0:
                start = i
        elif start >= 0:
            spans.append((start, i))
            start = -1
    if start >= 0:
        spans.append((start, len(text)))
    return spans


def matches(text: str, terms: set[str]) -> list[tuple[int, int, str]]:
    """(start, end, term) of every piece of `text` that the index knows as one of `terms`."""
    found = []
    for start, end in _words(text):
        word = text[start:end]
        whole = tokenize(word)
        if whole and whole[-1] in terms:
            found.append((start, end, whole[-1]))
            continue
        parts = _parts(word)
        if len(parts) < 2:
            continue
        for a, b in parts:
            part = tokenize(word[a:b])
            if len(part) == 1 and part[0] in terms:
                found.append((start + a, start + b, part[0]))
    return found


def make_snippet(text: str, query: str, width: int = WIDTH) -> Snippet:
    """The window of about `width` characters holding the most distinct query
    terms (then the most matches), cut at word boundaries."""
    flat = re.sub(r"\s+", " ", text).strip()
    terms = set(tokenize(query))
    found = matches(flat, terms) if terms else []
    start = 0
    if found:
        best = (-1, -1)
        for i, (s, _, _) in enumerate(found):
            inside = [f for f in found[i:] if f[1] <= s + width]
            score = (len({f[2] for f in inside}), len(inside))
            if score > best:
                best, start = score, s
        # Show a little of what leads up to the first match, and a full
        # window where the text allows.
        start = max(0, min(start - width // 5, len(flat) - width))
    end = min(len(flat), start + width)
    if start > 0:
        space = flat.find(" ", start)
        start = space + 1 if 0 <= space < start + width // 4 else start
    if end < len(flat):
        space = flat.rfind(" ", start, end)
        end = space if space > start + width // 2 else end
    window = flat[start:end]
    spans: list[tuple[int, int]] = []
    for s, e, _ in found:
        if s < start or e > end:
            continue
        if spans and spans[-1][1] == s - start:  # the parts of one identifier: one mark
            spans[-1] = (spans[-1][0], e - start)
        else:
            spans.append((s - start, e - start))
    if start > 0:
        window = ELLIPSIS + window
        spans = [(s + 1, e + 1) for s, e in spans]
    if end < len(flat):
        window += ELLIPSIS
    return Snippet(window, tuple(spans))
