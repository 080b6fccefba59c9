"""brindlewick: an asynchronous Python web framework (native core)."""

__version__ = "0.1.0"
