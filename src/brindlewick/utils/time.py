"""Time helpers."""

from datetime import datetime, timezone

__all__ = ["utcnow"]


def utcnow() -> datetime:
    """The current time as an aware datetime in UTC."""
    return datetime.now(timezone.utc)
