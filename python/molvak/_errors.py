"""The exceptions every layer may raise, defined below all of them."""
from __future__ import annotations


class HeaderError(ValueError):
    """A file that cannot be read as a gather: headers missing, unreadable or
    inconsistent with each other or with the size of the file. The message is
    one line naming the file and, where one is concerned, the trace and field."""
