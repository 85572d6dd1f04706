"""quennel: test signals for radio work.

The native libraries are the extension modules ``kettara`` (scenes, plans) and
``tolvane`` (captures); this package holds the Python side on top of them.
"""

__version__ = "0.1.0"
