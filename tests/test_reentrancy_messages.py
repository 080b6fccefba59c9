"""Message operations stay sound when the Python code they call edits the message.

Header names, header entries, content objects and decoders are user objects:
their ``lower()``, ``__eq__``, ``__iter__`` and ``__bool__`` may replace the
header list, clear it, or drop the last reference to the content while a
native operation is using it.
"""

import pytest

from brindlewick.contents import ASGIContent, Content
from brindlewick.messages import Message

from conftest import ScriptedReceive

REPLACED = "the header list was replaced during a header lookup"


# ---- attacks on the header list ----------------------------------------------


def replace_list(m):
    m.__init__([(b"other", b"1")])


def clear_list(m):
    m.headers.values.clear()


def unset_list(m):
    m.__setstate__((None, None, None, None, None, None))


def drop_view_and_replace(m):
    # The view would keep the old list alive: drop it first.
    m._headers = None
    m.__init__([(b"other", b"1")])


class LoweringName(str):
    """A header name (not bytes) whose lower() runs the attack."""

    def lower(self):
        self.attack(self.message)
        return "no-match"


class ComparingLowered(bytes):
    """What a name's lower() returns: its __eq__ runs the attack."""

    def __eq__(self, other):
        self.attack(self.message)
        return False

    __hash__ = bytes.__hash__


class NameWithComparingLower(str):
    def lower(self):
        lowered = ComparingLowered(b"zzz")
        lowered.attack, lowered.message = self.attack, self.message
        return lowered


def hostile_message(name_class, attack):
    m = Message([])
    name = name_class("n")
    name.attack, name.message = attack, m
    # The hostile entry first, a matching plain entry after it.
    m.__init__([(name, b"v"), (b"x", b"1")])
    return m


LOOKUPS = [
    pytest.param(lambda m: m.get_headers(b"x"), id="get_headers"),
    pytest.param(lambda m: m.get_first_header(b"x"), id="get_first_header"),
    pytest.param(lambda m: m.get_single_header(b"x"), id="get_single_header"),
    pytest.param(lambda m: m.remove_header(b"x"), id="remove_header"),
    pytest.param(lambda m: m.set_header(b"x", b"2"), id="set_header"),
    pytest.param(lambda m: m.content_type(), id="content_type"),
]


@pytest.mark.parametrize("name_class", [LoweringName, NameWithComparingLower])
@pytest.mark.parametrize("operation", LOOKUPS)
def test_header_list_replaced_during_a_scan_is_refused(name_class, operation):
    m = hostile_message(name_class, drop_view_and_replace)
    with pytest.raises(RuntimeError, match=REPLACED):
        operation(m)
    assert m.get_headers(b"other") == [b"1"]


@pytest.mark.parametrize("name_class", [LoweringName, NameWithComparingLower])
@pytest.mark.parametrize(
    "operation, expected",
    [
        pytest.param(lambda m: m.get_headers(b"x"), [], id="get_headers"),
        pytest.param(lambda m: m.get_first_header(b"x"), None, id="get_first_header"),
        pytest.param(lambda m: m.remove_header(b"x"), None, id="remove_header"),
    ],
)
def test_header_list_cleared_during_a_scan_ends_the_scan(name_class, operation, expected):
    m = hostile_message(name_class, clear_list)
    assert operation(m) == expected
    assert m.headers.values == []


@pytest.mark.parametrize("name_class", [LoweringName, NameWithComparingLower])
def test_header_list_unset_during_a_scan_is_refused(name_class):
    m = hostile_message(name_class, unset_list)
    with pytest.raises(RuntimeError, match=REPLACED):
        m.get_headers(b"x")


# ---- has_header reads entries by unpacking them ---------------------------------


class IterablePair:
    """An entry that is neither tuple nor list: unpacked by iteration."""

    def __init__(self, message, attack):
        self.message, self.attack = message, attack

    def __iter__(self):
        self.attack(self.message)
        return iter((b"n", b"v"))


class TuplePairWithHooks(tuple):
    """A tuple subclass: read by position, its hooks are never called."""

    def __iter__(self):
        self.attack(self.message)
        return super().__iter__()

    def __getitem__(self, index):
        self.attack(self.message)
        return super().__getitem__(index)


@pytest.mark.parametrize(
    "attack, outcome",
    [
        pytest.param(drop_view_and_replace, RuntimeError, id="replaced"),
        pytest.param(unset_list, RuntimeError, id="unset"),
        pytest.param(clear_list, False, id="cleared"),
    ],
)
def test_has_header_entry_iteration_edits_the_list(attack, outcome):
    m = Message([])
    m.__init__([IterablePair(m, attack), (b"x", b"1")])
    if outcome is RuntimeError:
        with pytest.raises(RuntimeError, match=REPLACED):
            m.has_header(b"x")
    else:
        assert m.has_header(b"x") is outcome


@pytest.mark.parametrize("attack", [drop_view_and_replace, clear_list, unset_list])
def test_tuple_subclass_entries_run_no_python_code(attack):
    m = Message([])
    entry = TuplePairWithHooks((b"x", b"1"))
    entry.attack, entry.message = attack, m
    m.headers.values.append(entry)
    assert m.has_header(b"x") is True
    assert m.get_first_header(b"x") == b"1"
    assert m.get_headers(b"x") == [b"1"]
    assert m.headers.values == [(b"x", b"1")]


# ---- removal by equality ------------------------------------------------------------


class EqualityAttack(str):
    """A name that never matches a lookup, but whose __eq__ runs the attack:
    list removal compares it with the entry being removed."""

    def lower(self):
        return "no-match"

    def __eq__(self, other):
        self.attack(self.message)
        return False

    __hash__ = str.__hash__


@pytest.mark.parametrize(
    "attack, outcome",
    [
        pytest.param(drop_view_and_replace, RuntimeError, id="replaced"),
        pytest.param(unset_list, RuntimeError, id="unset"),
        pytest.param(clear_list, ValueError, id="cleared"),
    ],
)
def test_removal_by_equality_survives_edits_of_the_list(attack, outcome):
    m = Message([])
    name = EqualityAttack("n")
    name.attack, name.message = attack, m
    m.__init__([(name, b"v"), (b"x", b"1")])
    # Removal compares (name, b"v") with (b"x", b"1") first, and the attack
    # takes the entry to remove away from the list.
    with pytest.raises(outcome):
        m.remove_header(b"x")


# ---- content whose truth test drops it -------------------------------------------------


class VanishingContent(Content):
    """Content whose truth test drops the message's reference to it (the last one)."""

    def __bool__(self):
        self.message.content = None
        return True


def vanishing(m, content_type=b"text/plain", body=b"abc"):
    c = VanishingContent(content_type, body)
    c.message = m
    m.content = c
    del c  # the message's field holds the only reference now
    return m


def consumed(m):
    return m.content is None


@pytest.mark.parametrize(
    "operation, expected",
    [
        pytest.param(lambda m: m.has_body(), True, id="has_body"),
        pytest.param(lambda m: m.detach_raw(), b"abc", id="detach_raw"),
        pytest.param(lambda m: bytes(m.body_buffer), b"", id="body_buffer"),
        pytest.param(lambda m: m.content_type(), b"text/plain", id="content_type"),
        pytest.param(lambda m: m.declares_json(), False, id="declares_json"),
        pytest.param(lambda m: m.charset, "utf8", id="charset"),
    ],
)
def test_content_dropped_by_its_truth_test_sync(operation, expected):
    m = vanishing(Message([(b"content-type", b"application/json")]))
    assert operation(m) == expected
    assert consumed(m)


@pytest.mark.parametrize(
    "operation, expected",
    [
        pytest.param(lambda m: m.read(), b"abc", id="read"),
        pytest.param(lambda m: m.read_raw(), b"abc", id="read_raw"),
        pytest.param(lambda m: m.read_detached(), b"abc", id="read_detached"),
        pytest.param(lambda m: m.text(), "abc", id="text"),
    ],
)
def test_content_dropped_by_its_truth_test_async(operation, expected, run):
    m = vanishing(Message([]))
    assert run(operation(m)) == expected


def test_content_dropped_by_its_truth_test_read_buffer(run):
    m = vanishing(Message([]))
    assert bytes(run(m.read_buffer())) == b"abc"


def test_content_dropped_by_its_truth_test_stream(run):
    m = vanishing(Message([]))

    async def chunks():
        return [bytes(c) async for c in m.stream()]

    assert b"".join(run(chunks())) == b"abc"


class DroppingAttributes(Content):
    """Content whose `_data` lookup drops the message's reference to it."""

    @property
    def _data(self):
        self.message.content = None
        return None


def test_detach_raw_whose_attribute_lookup_drops_the_content():
    m = Message([])
    c = DroppingAttributes(b"text/plain", b"abc")
    c.message = m
    m.content = c
    del c
    assert m.detach_raw() == b"abc"
    assert consumed(m)


def test_json_decoder_that_drops_the_content(run):
    m = Message([(b"content-type", b"application/json")])
    m.content = ASGIContent(ScriptedReceive([b"{]"]))

    def loads(text):
        m.content = None
        m.set_header(b"content-type", b"application/problem+json")
        raise ValueError("no")

    with pytest.raises(Exception, match="Declared Content-Type is application/problem\\+json") as info:
        run(m.json(loads=loads))
    assert type(info.value).__name__ == "BadRequestFormat"


# ---- pickling with odd instance dictionaries ------------------------------------------


class FreshDict(Message):
    @property
    def __dict__(self):
        return {"made": "fresh"}  # a new dictionary on every read


class FailingDict(Message):
    @property
    def __dict__(self):
        raise KeyError("no dict today")


def test_reduce_with_a_dict_property_keeps_what_it_read():
    m = FreshDict([(b"a", b"1")])
    fn, args, state = m.__reduce__()
    others = [{"other": i} for i in range(8)]  # would reuse a dictionary freed too early
    assert state[6] == {"made": "fresh"} and len(others) == 8


def test_reduce_reports_a_failing_dict_lookup():
    with pytest.raises(KeyError, match="no dict today"):
        FailingDict([]).__reduce__()


class ReenteringDict(dict):
    def update(self, other):
        self.message.__init__([(b"late", b"1")])
        super().update(other)


class DictThatReenters(Message):
    @property
    def __dict__(self):
        d = ReenteringDict()
        d.message = self
        return d


def test_setstate_whose_dict_update_reenters_init():
    m = DictThatReenters([])
    m.__setstate__((None, None, [(b"a", b"1")], None, None, None, {"x": 2}))
    assert m.headers.values == [(b"late", b"1")]
