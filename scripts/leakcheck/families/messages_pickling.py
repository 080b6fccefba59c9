"""Message pickling: round trips, the checksum check, bad states."""

import pickle

from brindlewick.messages import Message, _unpickle_Message

from leakcheck.support import raises

ITERATIONS = 10_000

PAIRS = [(b"a", b"1"), (b"Host", b"h")]
STATE = (None, None, [(b"a", b"b")], None, None, None)


class WithDict(Message):
    pass


def round_trip():
    m = Message(PAIRS)
    m.context = {"k": [1, 2]}
    return pickle.loads(pickle.dumps(m))


def round_trip_dict():
    m = WithDict(None)
    m.extra = 3
    return pickle.loads(pickle.dumps(m))


def operations():
    return [
        ("__reduce__", lambda: Message(PAIRS).__reduce__()),
        ("__reduce__ uninitialised", lambda: Message.__new__(Message).__reduce__()),
        ("pickle round trip", round_trip),
        ("pickle round trip, subclass with __dict__", round_trip_dict),
        ("_unpickle_Message", lambda: _unpickle_Message(Message, 0xA1874AD, STATE)),
        ("_unpickle_Message other checksum", lambda: _unpickle_Message(Message, 0x388B856, STATE)),
        ("__setstate__", lambda: Message(None).__setstate__(STATE)),
        ("checksum mismatch", raises(pickle.PickleError, _unpickle_Message, Message, 0x1, None)),
        ("raw headers not a list", raises(TypeError, _unpickle_Message, Message, 0xA1874AD, (None, None, (), None, None, None))),
        ("headers not Headers", raises(TypeError, _unpickle_Message, Message, 0xA1874AD, (None, 1, None, None, None, None))),
        ("type not a Message", raises(TypeError, _unpickle_Message, int, 0xA1874AD, None)),
        ("__setstate__(list)", raises(TypeError, lambda: Message(None).__setstate__([None] * 6))),
        ("__setstate__(short tuple)", raises((TypeError, ValueError, IndexError), lambda: Message(None).__setstate__((None,)))),
    ]
