"""The demo: what tessavine makes of the notes in the corpus."""
import os
import pathlib
import sys

REPO = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "python"))

import tessavine  # noqa: E402

CORPUS = pathlib.Path(os.environ.get("TESSAVINE_CORPUS", REPO.parent / "shared" / "corpus"))


def main():
    notes = sorted((CORPUS / "cpp-docs").rglob("*.md"))
    if not notes:
        sys.exit(f"no notes found under {CORPUS}")
    first = notes[0]
    text = first.read_text(encoding="utf-8")
    terms = tessavine.tokenize(text)
    print(f"tessavine {tessavine.__version__}: {first.relative_to(CORPUS)}, "
          f"{len(text)} characters, {len(terms)} terms")
    print(" ".join(terms))


if __name__ == "__main__":
    main()
