"""StringInternerCore: dense IDs in first-seen order, lookups, capacities."""

import pytest
from hypothesis import settings, strategies as st
from hypothesis.stateful import Bundle, RuleBasedStateMachine, invariant, rule

from tessellar import StringInternerCore


def intern_all(interner, texts):
    return [interner.intern(text) for text in texts]


def test_new_interner_is_empty():
    interner = StringInternerCore()
    assert interner.len() == 0
    assert interner.is_empty() is True
    assert interner.lookup("anything") is None
    assert interner.lookup("") is None
    with pytest.raises(IndexError, match=r"^Invalid string ID$"):
        interner.get_string(0)


def test_ids_are_dense_in_first_seen_order():
    interner = StringInternerCore()
    assert intern_all(interner, ["b", "a", "b"]) == [0, 1, 0]
    assert interner.len() == 2
    assert interner.is_empty() is False
    assert interner.get_string(1) == "a"
    assert interner.lookup("b") == 0


def test_empty_string_is_an_ordinary_string():
    interner = StringInternerCore()
    assert intern_all(interner, ["x", "", "y", ""]) == [0, 1, 2, 1]
    assert interner.get_string(1) == ""
    assert interner.lookup("") == 1


# Texts are compared as bytes: no normalisation, case folding or trimming.
DISTINCT_TEXTS = [
    "é",             # precomposed
    "e\u0301",       # e + combining acute
    "\u2126",        # OHM SIGN
    "\u03a9",        # GREEK CAPITAL OMEGA
    "A", "a", " a", "a ",
    "\U0001d11e",    # astral: 4 UTF-8 bytes
    "\U0001f600\U0010ffff",
    "a\x00b", "a\x00", "\x00",
    "日本語",
]


def test_unicode_texts_round_trip_and_stay_distinct():
    interner = StringInternerCore()
    assert intern_all(interner, DISTINCT_TEXTS) == list(range(len(DISTINCT_TEXTS)))
    for expected_id, text in enumerate(DISTINCT_TEXTS):
        assert interner.get_string(expected_id) == text
        assert interner.lookup(text) == expected_id
    assert intern_all(interner, reversed(DISTINCT_TEXTS)) == list(reversed(range(len(DISTINCT_TEXTS))))


def test_str_subclass_interns_as_its_text():
    class Name(str):
        pass

    interner = StringInternerCore()
    assert interner.intern(Name("crm")) == 0
    assert interner.intern("crm") == 0
    assert interner.lookup(Name("crm")) == 0
    assert type(interner.get_string(0)) is str


def test_lookup_never_adds():
    interner = StringInternerCore()
    interner.intern("present")
    assert interner.lookup("absent") is None
    assert interner.len() == 1
    assert interner.intern("absent") == 1


def test_many_and_long_texts_round_trip():
    # Enough text to span several storage blocks, plus texts far larger than one.
    texts = [f"record-{i}-" + "x" * (i % 97) for i in range(5000)]
    texts += ["L" * 70_000, "M" * (1 << 20) + "end", "short-after-long"]
    interner = StringInternerCore()
    assert intern_all(interner, texts) == list(range(len(texts)))
    assert [interner.get_string(i) for i in range(len(texts))] == texts
    assert interner.lookup("M" * (1 << 20) + "end") == len(texts) - 2


@pytest.mark.parametrize("first", ["", "s", "m" * 5000])
def test_mid_sized_texts_round_trip(first):
    # Texts between a few KiB and 64 KiB share storage blocks with short ones.
    texts = [first] + [chr(97 + i % 26) * (4097 + i * 997) for i in range(62)] + ["tail"]
    interner = StringInternerCore()
    assert intern_all(interner, texts) == list(range(len(texts)))
    assert [interner.get_string(i) for i in range(len(texts))] == texts


def test_get_string_range():
    interner = StringInternerCore()
    intern_all(interner, ["a", "b"])
    assert interner.get_string(1) == "b"
    for missing in (2, 3, 2**32 - 1):
        with pytest.raises(IndexError, match=r"^Invalid string ID$"):
            interner.get_string(missing)
    assert interner.len() == 2


@pytest.mark.parametrize("capacity", [0, 1, 1000, True])
def test_with_capacity_behaves_like_a_new_interner(capacity):
    reserved = StringInternerCore.with_capacity(capacity)
    plain = StringInternerCore()
    assert type(reserved) is StringInternerCore
    texts = ["b", "a", "b", "", "a"] + [str(i) for i in range(1500)]
    for interner in (reserved, plain):
        assert interner.is_empty() and interner.len() == 0
        assert interner.lookup("a") is None
    assert intern_all(reserved, texts) == intern_all(plain, texts)
    assert reserved.len() == plain.len() == 1503
    assert [reserved.get_string(i) for i in range(1503)] == [plain.get_string(i) for i in range(1503)]


@pytest.mark.parametrize("capacity", [2**40, 2**64 - 1])
def test_unreservable_capacity_fails_cleanly(capacity):
    with pytest.raises((MemoryError, OverflowError)):
        StringInternerCore.with_capacity(capacity)
    interner = StringInternerCore.with_capacity(4)
    assert interner.intern("still works") == 0


def test_instances_are_independent():
    first, second = StringInternerCore(), StringInternerCore()
    first.intern("a")
    assert second.lookup("a") is None
    assert second.intern("b") == 0
    assert first.lookup("b") is None


class InternerModel(RuleBasedStateMachine):
    """The interner against a list of texts and a dict of text to ID."""

    texts = Bundle("texts")

    def __init__(self):
        super().__init__()
        self.interner = StringInternerCore()
        self.strings = []
        self.ids = {}

    @rule(target=texts, text=st.text(max_size=6) | st.sampled_from(["", "a", "A", "\x00", "\U0001f600"]))
    def intern_new(self, text):
        self._intern(text)
        return text

    @rule(text=texts)
    def intern_again(self, text):
        self._intern(text)

    def _intern(self, text):
        expected = self.ids.setdefault(text, len(self.strings))
        if expected == len(self.strings):
            self.strings.append(text)
        assert self.interner.intern(text) == expected

    @rule(text=texts | st.text(max_size=3))
    def lookup(self, text):
        assert self.interner.lookup(text) == self.ids.get(text)

    @rule(data=st.data())
    def get_string(self, data):
        string_id = data.draw(st.integers(0, len(self.strings) + 2))
        if string_id < len(self.strings):
            assert self.interner.get_string(string_id) == self.strings[string_id]
        else:
            with pytest.raises(IndexError, match=r"^Invalid string ID$"):
                self.interner.get_string(string_id)

    @invariant()
    def sizes_agree(self):
        assert self.interner.len() == len(self.strings)
        assert self.interner.is_empty() is (not self.strings)


InternerModel.TestCase.settings = settings(max_examples=40, stateful_step_count=30, deadline=None)
TestInternerModel = InternerModel.TestCase
