"""The notes folder layer: walking, the embedding cache, search modes, snippets."""
import os
import shutil
import zlib

import numpy as np
import pytest

from tessavine import EmbedderError, MiniLM, Notes, tokenize
from tessavine import notes as notes_module
from tessavine.cache import FOLDER, LEGACY_FILE, encode, parse, text_key
from tessavine.fusion import is_question, ordered
from tessavine.snippets import make_snippet

from conftest import REPO, raises


class StandIn:
    """A small deterministic embedder: signed feature hashing of the terms."""

    def __init__(self, name="stand-in", dim=16):
        self.name, self.dim, self.seen = name, dim, []

    def __call__(self, texts):
        self.seen += texts
        out = np.zeros((len(texts), self.dim), dtype=np.float32)
        out[:, 0] = 0.5
        for row, text in zip(out, texts):
            for h in (zlib.crc32(term.encode()) for term in tokenize(text)):
                row[h % self.dim] += 1.0 if h & 256 else -1.0
        return out


NOTES = {
    "a.md": "# Alpha\n\nThe kettle whistles at dawn.\n\n## Brewing\n\nSteep green tea for two minutes.\n",
    "sub/b.md": "# Beta\n\nBicycle chains need oil.\n",
    "sub/c.md": "# Gamma\n\nΣΟΦΙΑ und Straße im XMLParser.\n",
    ".hidden/d.md": "# Hidden\n\nnever indexed\n",
}


@pytest.fixture
def folder(tmp_path):
    for rel, text in NOTES.items():
        (tmp_path / "notes" / rel).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / "notes" / rel).write_text(text, encoding="utf-8")
    (tmp_path / "notes" / "latin1.md").write_bytes(b"caf\xe9\n")
    (tmp_path / "outside.md").write_text("# Out\n\nescaped\n")
    os.symlink(tmp_path / "outside.md", tmp_path / "notes" / "link.md")
    return tmp_path / "notes"


def generation_files(notes):
    gen = notes.reader().dir
    return {name: (gen / name).read_bytes() for name in ("docs.bin", "bm25.bin", "vectors.bin")}


def shards(folder):
    """Each cache shard's name and inode: a shard written again has a new inode."""
    return {p.name: p.stat().st_ino for p in (folder / ".tessavine" / FOLDER).iterdir()}


def test_index_walks_the_folder_and_reports(folder):
    report = Notes(folder, embedder=StandIn()).index()
    assert (report.notes, report.chunks, report.embedded, report.reused) == (3, 4, 4, 0)
    assert [(s.path, s.reason) for s in report.skipped] == [("latin1.md", "not valid UTF-8 (byte 3)")]
    again = Notes(folder, embedder=StandIn()).index()  # nothing changed: no new generation
    assert (again.generation, again.embedded, again.reused) == (report.generation, 0, 4)
    paths = {r.path for r in Notes(index=folder / ".tessavine").search("kettle bicycle escaped never", mode="keyword")}
    assert paths == {"a.md", "sub/b.md"}


def test_cache_embeds_only_changed_chunks_and_matches_a_fresh_build(folder, tmp_path):
    (notes := Notes(folder, embedder=(embedder := StandIn()))).index()
    before = shards(folder)
    (folder / "a.md").write_text(NOTES["a.md"].replace("two minutes", "three minutes"))
    embedder.seen.clear()
    report = notes.index()
    assert (report.embedded, report.reused) == (1, 3)
    assert embedder.seen == ["Alpha > Brewing\n## Brewing\n\nSteep green tea for three minutes."]
    # Only the shards of the entry that went and of the one that came are written.
    old, new = (text_key(f"Alpha > Brewing\n## Brewing\n\nSteep green tea for {n} minutes.")[:1].hex() + ".cache"
                for n in ("two", "three"))
    after = shards(folder)
    assert {n for n in before.keys() | after.keys() if before.get(n) != after.get(n)} == {old, new}
    assert (fresh := Notes(folder, index=tmp_path / "fresh", embedder=StandIn())).index().embedded == 4
    assert generation_files(notes) == generation_files(fresh)


def test_deleted_and_renamed_notes_leave_no_trace(folder):
    (notes := Notes(folder, embedder=StandIn())).index()
    (folder / "sub" / "b.md").unlink()
    (folder / "a.md").rename(folder / "renamed.md")
    notes.index()
    for mode in ("keyword", "vector", "hybrid"):
        assert {r.path for r in notes.search("kettle bicycle chains tea", mode=mode)} <= {"renamed.md", "sub/c.md"}, mode
    assert notes.info()["cache_entries"] == 3


@pytest.mark.parametrize("damage", [
    lambda p, free: p.write_bytes(p.read_bytes()[:-1]), lambda p, free: p.write_bytes(p.read_bytes()[:40]),
    lambda p, free: p.write_bytes(p.read_bytes()[:40] + bytes([p.read_bytes()[40] ^ 1]) + p.read_bytes()[41:]),
    lambda p, free: p.write_bytes(b""), lambda p, free: p.unlink(), lambda p, free: p.rename(free),
    lambda p, free: p.write_bytes(b"".join(encode("other", 16, *parse(p.read_bytes())[1:])))])
def test_a_damaged_shard_is_ignored_and_rebuilt(folder, damage):
    (notes := Notes(folder, embedder=StandIn())).index()
    before, names = generation_files(notes), set(shards(folder))
    cache = folder / ".tessavine" / FOLDER
    victim = cache / min(names)
    # Shards no entry needs (a damaged one, a misnamed one) are removed.
    unused, free = [cache / f"{i:02x}.cache" for i in range(256) if f"{i:02x}.cache" not in names][:2]
    unused.write_bytes(b"garbage")
    damage(victim, free)
    assert notes.index().embedded == len(parse(victim.read_bytes())[1])
    assert generation_files(notes) == before and set(shards(folder)) == names
    assert Notes(folder, embedder=StandIn()).index().reused == 4


def test_the_single_cache_file_of_earlier_versions_migrates(folder):
    Notes(folder, embedder=StandIn()).index()
    root = folder / ".tessavine"
    entries = [parse(p.read_bytes()) for p in (root / FOLDER).iterdir()]
    keys = [k for _, ks, _ in entries for k in ks]
    (root / LEGACY_FILE).write_bytes(b"".join(encode("stand-in", 16, keys, np.concatenate([v for *_, v in entries]))))
    shutil.rmtree(root / FOLDER)
    assert Notes(folder, embedder=(embedder := StandIn())).index().reused == 4 and embedder.seen == []
    assert not (root / LEGACY_FILE).exists() and len(shards(folder)) == len(keys)


def test_another_embedder_is_refused_and_misses_the_cache(folder):
    Notes(folder, embedder=StandIn()).index()
    for other, message in ((StandIn("other"), "'stand-in' (dimension 16), not 'other' (dimension 16)"),
                           (StandIn(dim=8), "'stand-in' (dimension 16), not 'stand-in' (dimension 8)")):
        assert message in str(raises(EmbedderError, lambda: Notes(folder, embedder=other).search("tea")))
    error = raises(EmbedderError, lambda: Notes(index=folder / ".tessavine").search("tea"))
    assert "built with embedder 'stand-in'; pass that embedder" in str(error)
    assert Notes(folder, embedder=StandIn("other")).index().embedded == 4


@pytest.mark.parametrize("text, query, marked", [
    ("Notes on ΣΟΦΙΑ and the Straße.", "σοφια STRASSE straße", "Notes on **ΣΟΦΙΑ** and the **Straße**."),
    ("Use XMLParser or parse_xml.", "parser xml", "Use **XMLParser** or parse_**xml**."),
    ("The cat is on the mat", "the cat on", "The **cat** is on the mat"),
    # The virama of हिन्दी is no letter: the index holds two terms, and marks them so.
    ("日本語の勉強 and हिन्दी text", "हिन्दी 日本語の勉強", "**日本語の勉強** and **हिन**्**दी** text"),
])
def test_snippets_mark_what_the_index_matched(text, query, marked):
    assert str(make_snippet(text, query)) == marked


def test_snippet_windows_the_best_part_of_a_long_chunk():
    s = make_snippet("filler words here. " * 40 + "The kettle whistles at dawn. " + "filler. " * 90, "kettle dawn")
    assert len(s.text) <= 202 and s.text.startswith("…") and s.text.endswith("…")
    assert [s.text[a:b] for a, b in s.spans] == ["kettle", "dawn"]


@pytest.mark.skipif(not MiniLM.available(), reason="the embed extra is not installed")
def test_the_packaged_model_indexes_and_searches(tmp_path):
    for name in ("kubernetes-debugging.md", "git-rebase.md"):
        (tmp_path / name).write_bytes((REPO / "examples" / "notes" / "dev" / name).read_bytes())
    assert (notes := Notes(tmp_path, embedder=MiniLM())).index().embedded > 0 and notes.reader().manifest["dim"] == 384
    hits = notes.search("my container keeps crashing and restarting", k=1, mode="vector")
    assert hits[0].path == "kubernetes-debugging.md"


def test_hybrid_puts_chunks_holding_a_quoted_phrase_first(folder):
    (notes := Notes(folder)).index()
    reader = notes.reader()
    tea, bike = (next(i for i in range(len(reader)) if reader.chunk(i).path == p) for p in ("a.md", "sub/b.md"))
    tea += 1  # the Brewing chunk follows the Alpha chunk
    score = {bike: 2.0, tea: 1.0}
    assert [r.id for r in ordered(reader, "green tea", score, {}, {}, 5)] == [bike, tea]
    for query in ('"green tea"', "\u201cgreen tea"):
        assert [r.id for r in ordered(reader, query, score, {}, {}, 5)] == [tea, bike], query


@pytest.mark.parametrize("query, question", [
    ("cmfcvisualmanager ondrawcombodropbutton", False), ("rebase reflog", False),
    ("how to undo a rebase", True), ("undo rebase?", True), ("THE reflog", True)])
def test_questions_are_told_from_keywords(query, question):
    assert is_question(query) == question


def test_an_interrupted_index_keeps_what_it_embedded(folder, monkeypatch):
    monkeypatch.setattr(notes_module, "CHECKPOINT_SECONDS", -1.0)
    monkeypatch.setattr(notes_module, "EMBED_BATCH", 1)

    class Stops(StandIn):
        def __call__(self, texts):
            if len(self.seen) == 2:
                raise KeyboardInterrupt
            return super().__call__(texts)

    raises(KeyboardInterrupt, lambda: Notes(folder, embedder=Stops()).index())
    assert Notes(folder, embedder=StandIn()).index().reused == 2
