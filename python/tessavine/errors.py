"""Errors of the notes layer. Each message says what went wrong and where, in
one line, because the command line prints it as it is."""
from tessavine._core import TessavineError


class NotesError(TessavineError):
    """A notes folder or index cannot be used as asked."""


class EmbedderError(NotesError):
    """The embedder is missing, misbehaves, or is not the one the index was built with."""
