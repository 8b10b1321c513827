"""Local search over collections of Markdown notes.

Everything lives in the compiled module ``tessavine._core``; this package
re-exports its public names.
"""
from tessavine._core import *  # noqa: F401,F403
from tessavine._core import __all__, __version__  # noqa: F401
