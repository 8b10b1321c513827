"""Local search over a folder of Markdown notes.

`Notes` indexes a folder (chunks, keyword index, optional embeddings with a
cache) and searches it; `MiniLM` is the packaged embedder of the
`tessavine[embed]` extra. The compiled module's names (`IndexWriter`,
`IndexReader`, `chunk_text`, `tokenize`, ...) are re-exported as they are, and
`__all__` lists exactly those.
"""
from tessavine._core import *  # noqa: F401,F403
from tessavine._core import __all__, __version__  # noqa: F401
from tessavine.embedders import Embedder as Embedder, MiniLM as MiniLM
from tessavine.errors import EmbedderError as EmbedderError, NotesError as NotesError
from tessavine.notes import IndexReport as IndexReport, Notes as Notes
from tessavine.notes import SearchResult as SearchResult, Skipped as Skipped
from tessavine.snippets import Snippet as Snippet
