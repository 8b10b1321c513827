"""Index a folder of Markdown notes, then search it.

    python examples/quickstart.py [NOTES_DIR] [QUERY]
"""
import sys

import tessavine

folder = sys.argv[1] if len(sys.argv) > 1 else "examples/notes"
query = sys.argv[2] if len(sys.argv) > 2 else "what do I do when a pod keeps restarting"

# Embeddings when the embed extra is installed; keyword search without it.
embedder = tessavine.MiniLM() if tessavine.MiniLM.available() else None
notes = tessavine.Notes(folder, embedder=embedder)  # the index goes to NOTES_DIR/.tessavine
report = notes.index()  # again later: only changed chunks are embedded
print(f"{report.notes} notes, {report.chunks} chunks: {report.embedded} embedded, {report.reused} reused")

for hit in notes.search(query, k=3):  # hybrid with embeddings, else keywords
    print(f"{hit.path}:{hit.line_start}-{hit.line_end}  {' > '.join(hit.heading_path)}  ({hit.score:.4f})")
    print(f"    {hit.snippet}")  # the best ~200 characters, matched terms in **bold**
