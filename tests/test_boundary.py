"""The calling conventions every method shares: binding, conversion, errors,
borrows, reference counts, and the module's surface."""

import importlib
import inspect
import os
import subprocess
import sys
import textwrap

import pytest

import tessellar
from tessellar import EntityCore, EntityFrame, StringInternerCore

CLASS_ORDER = ["StringInternerCore", "EntityCore", "CollectionCore", "EntityFrame"]

CLASS_SURFACE = {
    "StringInternerCore": ("()", "String interning for efficient record ID storage and lookup."),
    "EntityCore": (
        "()",
        "Core entity representation using roaring bitmaps for record ID sets.\n"
        "Uses interned dataset IDs (u32) instead of strings for massive memory savings.",
    ),
    "CollectionCore": (
        "(process_name)",
        "CollectionCore: A collection of entities from a single process (like pandas Series)\n"
        "Collections should only be created through EntityFrame.create_collection() to ensure shared interner",
    ),
    "EntityFrame": (
        "()",
        "EntityFrame: A collection of CollectionCores with shared interner (like pandas DataFrame)",
    ),
}

METHOD_SURFACE = {
    StringInternerCore: [
        ("intern", "($self, s)", "Intern a string and return its ID."),
        ("with_capacity", "(capacity)", "Create interner with pre-allocated capacity for better performance"),
        ("get_string", "($self, id)", "Get the string for a given ID."),
        ("lookup", "($self, s)", "Look up a string and return its ID if it exists (does not add new strings)."),
        ("len", "($self)", "Get the number of interned strings."),
        ("is_empty", "($self)", "Check if the interner is empty."),
    ],
}


class Idx:
    """An integer-like object, or one whose __index__ raises `error`."""

    def __init__(self, value=0, error=None):
        self.value, self.error = value, error

    def __index__(self):
        if self.error is not None:
            raise self.error
        return self.value


def interner_with(*texts):
    interner = StringInternerCore()
    for text in texts:
        interner.intern(text)
    return interner


# Each case: a factory for the callable (fresh receiver per test), args,
# kwargs, the exception type and its exact message.
def interner_method(name):
    return lambda: getattr(interner_with("zero"), name)


def static(cls, name):
    return lambda: getattr(cls, name)


def case(target, args, kwargs, error, message, id):
    return pytest.param(target, args, kwargs, error, message, id=id)


BINDING_ERRORS = [
    case(interner_method("intern"), ("a", "b"), {}, TypeError,
         "StringInternerCore.intern() takes 1 positional argument but 2 were given", "intern-too-many"),
    case(interner_method("len"), (1,), {}, TypeError,
         "StringInternerCore.len() takes 0 positional arguments but 1 was given", "len-too-many"),
    case(static(StringInternerCore, "with_capacity"), (1, 2), {}, TypeError,
         "StringInternerCore.with_capacity() takes 1 positional argument but 2 were given", "capacity-too-many"),
    case(interner_method("intern"), (), {}, TypeError,
         "StringInternerCore.intern() missing 1 required positional argument: 's'", "intern-missing"),
    case(static(StringInternerCore, "with_capacity"), (), {}, TypeError,
         "StringInternerCore.with_capacity() missing 1 required positional argument: 'capacity'",
         "capacity-missing"),
    case(interner_method("lookup"), (), {"text": "a"}, TypeError,
         "StringInternerCore.lookup() got an unexpected keyword argument 'text'", "lookup-unknown-keyword"),
    case(interner_method("intern"), ("a",), {"self": 1}, TypeError,
         "StringInternerCore.intern() got an unexpected keyword argument 'self'", "receiver-is-no-keyword"),
    case(interner_method("len"), (), {"ś": 1}, TypeError,
         "StringInternerCore.len() got an unexpected keyword argument 'ś'", "non-ascii-keyword"),
    case(interner_method("get_string"), (0,), {"id": 0}, TypeError,
         "StringInternerCore.get_string() got multiple values for argument 'id'", "get-string-twice"),
    case(lambda: StringInternerCore, (1,), {}, TypeError,
         "StringInternerCore.__new__() takes 0 positional arguments but 1 was given", "new-too-many"),
    case(lambda: StringInternerCore, (), {"capacity": 1}, TypeError,
         "StringInternerCore.__new__() got an unexpected keyword argument 'capacity'", "new-unknown-keyword"),
    # Several missing names, and optional parameters.
    case(lambda: EntityCore().add_record_by_id, (), {}, TypeError,
         "EntityCore.add_record_by_id() missing 2 required positional arguments: 'dataset_id' and 'record_id'",
         "two-missing"),
    case(lambda: EntityFrame().entity_has_dataset, (), {}, TypeError,
         "EntityFrame.entity_has_dataset() missing 3 required positional arguments: "
         "'collection_name', 'entity_index', and 'dataset_name'", "three-missing"),
    case(lambda: EntityFrame().entity_has_dataset, ("c",), {"dataset_name": "d"}, TypeError,
         "EntityFrame.entity_has_dataset() missing 1 required positional argument: 'entity_index'",
         "middle-missing"),
    case(lambda: EntityFrame().hash_collection, (), {}, TypeError,
         "EntityFrame.hash_collection() missing 1 required positional argument: 'collection_name'",
         "default-not-required"),
    case(lambda: EntityFrame().hash_entity, ("c", 0, "sha256", "x"), {}, TypeError,
         "EntityFrame.hash_entity() takes from 2 to 3 positional arguments but 4 were given",
         "with-default-too-many"),
]

CONVERSION_ERRORS = [
    case(interner_method("intern"), (5,), {}, TypeError,
         "argument 's': 'int' object cannot be converted to 'PyString'", "text-int"),
    case(interner_method("lookup"), (b"a",), {}, TypeError,
         "argument 's': 'bytes' object cannot be converted to 'PyString'", "text-bytes"),
    case(interner_method("intern"), (), {"s": None}, TypeError,
         "argument 's': 'NoneType' object cannot be converted to 'PyString'", "text-none-keyword"),
    case(interner_method("get_string"), (-1,), {}, OverflowError,
         "out of range integral type conversion attempted", "id-negative"),
    case(interner_method("get_string"), (2**32,), {}, OverflowError,
         "out of range integral type conversion attempted", "id-2^32"),
    case(interner_method("get_string"), (Idx(2**32),), {}, OverflowError,
         "out of range integral type conversion attempted", "id-index-2^32"),
    case(interner_method("get_string"), (Idx(error=ValueError("no index")),), {}, ValueError,
         "no index", "id-index-valueerror-unchanged"),
    case(interner_method("get_string"), (Idx(error=TypeError("no index")),), {}, TypeError,
         "argument 'id': no index", "id-index-typeerror-wrapped"),
    case(static(StringInternerCore, "with_capacity"), (Idx(error=TypeError("bad")),), {}, TypeError,
         "argument 'capacity': bad", "count-index-typeerror-wrapped"),
    case(static(StringInternerCore, "with_capacity"), (Idx(error=KeyError("k")),), {}, KeyError,
         "k", "count-index-keyerror-unchanged"),
]


def call(target, args, kwargs):
    return target()(*args, **kwargs)


@pytest.mark.parametrize("target, args, kwargs, error, message", BINDING_ERRORS + CONVERSION_ERRORS)
def test_exact_error(target, args, kwargs, error, message):
    with pytest.raises(error) as caught:
        call(target, args, kwargs)
    assert type(caught.value) is error
    assert caught.value.args == (message,)


# Errors that come from the interpreter itself: only the type is fixed, and
# whether the parameter's name is put in front.
INTERPRETER_ERRORS = [
    case(interner_method("intern"), ("\ud800",), {}, UnicodeEncodeError, False, "lone-surrogate"),
    case(interner_method("lookup"), ("ok\udfff",), {}, UnicodeEncodeError, False, "lone-surrogate-lookup"),
    case(interner_method("get_string"), (2**63,), {}, OverflowError, False, "id-2^63"),
    case(interner_method("get_string"), (-2**63 - 1,), {}, OverflowError, False, "id-below-int64"),
    case(interner_method("get_string"), (2**64,), {}, OverflowError, False, "id-2^64"),
    case(interner_method("get_string"), (1.0,), {}, TypeError, True, "id-float"),
    case(interner_method("get_string"), ("0",), {}, TypeError, True, "id-str"),
    case(interner_method("get_string"), (Idx(1.5),), {}, TypeError, True, "id-index-returns-float"),
    case(static(StringInternerCore, "with_capacity"), (-1,), {}, OverflowError, False, "count-negative"),
    case(static(StringInternerCore, "with_capacity"), (2**64,), {}, OverflowError, False, "count-2^64"),
    case(static(StringInternerCore, "with_capacity"), (Idx(-1),), {}, OverflowError, False, "count-index-negative"),
    case(static(StringInternerCore, "with_capacity"), (1.5,), {}, TypeError, True, "count-float"),
]


@pytest.mark.parametrize("target, args, kwargs, error, wrapped", INTERPRETER_ERRORS)
def test_interpreter_error(target, args, kwargs, error, wrapped):
    parameter = inspect.signature(target()).parameters
    name = next(iter(parameter))
    with pytest.raises(error) as caught:
        call(target, args, kwargs)
    assert type(caught.value) is error
    assert str(caught.value).startswith(f"argument '{name}': ") is wrapped


@pytest.mark.parametrize("value, expected", [(1, "one"), (True, "one"), (False, "zero"), (Idx(1), "one")])
def test_integer_likes_are_accepted_as_ids(value, expected):
    assert interner_with("zero", "one").get_string(value) == expected


@pytest.mark.parametrize("capacity", [0, 7, True, Idx(3)])
def test_integer_likes_are_accepted_as_counts(capacity):
    assert StringInternerCore.with_capacity(capacity).is_empty()


@pytest.mark.parametrize(
    "target, args, kwargs, expected",
    [
        (interner_method("intern"), (), {"s": "new"}, 1),
        (interner_method("lookup"), (), {"s": "zero"}, 0),
        (interner_method("get_string"), (), {"id": 0}, "zero"),
        (interner_method("get_string"), (), {"id": Idx(0)}, "zero"),
    ],
)
def test_keyword_arguments(target, args, kwargs, expected):
    assert call(target, args, kwargs) == expected


def test_keyword_static_method():
    assert StringInternerCore.with_capacity(capacity=10).len() == 0


def test_failed_calls_change_nothing():
    interner = interner_with("zero")
    for bad in [("a", "b"), (5,), ("\ud800",)]:
        with pytest.raises((TypeError, UnicodeEncodeError)):
            interner.intern(*bad)
    assert interner.len() == 1
    assert interner.intern("a") == 1


def test_receiver_borrowed_during_argument_conversion():
    interner = interner_with("zero")
    seen = []

    class Reentrant:
        def __index__(self):
            # get_string holds a shared borrow: reads pass, changes are refused.
            seen.append(interner.lookup("zero"))
            with pytest.raises(RuntimeError, match=r"^Already borrowed$"):
                interner.intern("during")
            return 0

    assert interner.get_string(Reentrant()) == "zero"
    assert seen == [0]
    assert interner.intern("after") == 1  # released again


def test_borrow_released_after_failing_conversion():
    interner = interner_with("zero")
    for _ in range(3):
        with pytest.raises(ValueError):
            interner.get_string(Idx(error=ValueError("x")))
        with pytest.raises(IndexError):
            interner.get_string(9)
    assert interner.intern("next") == 1


def test_reference_counts_are_balanced():
    interner = interner_with("zero")
    text = "".join(["refcount", "-probe"])  # not interned by the interpreter
    big_id = int("1" * 25)  # beyond 64 bits, allocated anew
    index = Idx(0)
    counts = lambda: (sys.getrefcount(text), sys.getrefcount(big_id), sys.getrefcount(index),
                      sys.getrefcount(interner), sys.getrefcount(StringInternerCore))
    before = counts()
    for _ in range(500):
        interner.intern(text)
        interner.lookup(text)
        interner.get_string(index)
        StringInternerCore.with_capacity(index)
        StringInternerCore()
        for bad in [lambda: interner.intern(text, text), lambda: interner.get_string(text),
                    lambda: interner.get_string(big_id), lambda: interner.lookup(s=text, t=text),
                    lambda: StringInternerCore.with_capacity(big_id)]:
            try:
                bad()
            except (TypeError, OverflowError):
                pass
    assert counts() == before


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer's allocator aborts instead of failing an allocation")
def test_memory_error_leaves_interner_usable():
    # Under a tight address-space limit, a text too large to copy fails with
    # MemoryError; the interner must stay consistent.
    script = textwrap.dedent(
        """
        import resource
        from tessellar import StringInternerCore
        interner = StringInternerCore()
        for i in range(1000):
            interner.intern(f"before-{i}")
        huge = "h" * (160 << 20)
        with open("/proc/self/status") as status:
            size_kb = next(int(line.split()[1]) for line in status if line.startswith("VmSize:"))
        resource.setrlimit(resource.RLIMIT_AS, ((size_kb << 10) + (64 << 20),) * 2)
        try:
            interner.intern(huge)
        except MemoryError:
            pass
        else:
            raise SystemExit("no MemoryError")
        try:
            StringInternerCore.with_capacity(10**9)
        except MemoryError:
            pass
        else:
            raise SystemExit("no MemoryError from with_capacity")
        assert interner.len() == 1000
        assert interner.lookup(huge) is None
        assert interner.intern("after") == 1000
        assert interner.get_string(999) == "before-999"
        assert [interner.lookup(f"before-{i}") for i in range(1000)] == list(range(1000))
        print("ok")
        """
    )
    result = run_python(script)
    assert result.stdout.strip() == "ok", result.stderr


def run_python(script):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([module_dir()] + sys.path))
    return subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=60)


def module_dir():
    return os.path.dirname(tessellar.__file__)


# Module surface.

def test_module_holds_exactly_the_four_classes_in_order():
    public = [name for name in vars(tessellar) if not name.startswith("__")]
    assert public == CLASS_ORDER
    assert all(name in dir(tessellar) for name in CLASS_ORDER)
    doc = tessellar.__doc__
    assert doc and "\n" not in doc.strip()


@pytest.mark.parametrize("name", CLASS_ORDER)
def test_class_surface(name):
    cls = getattr(tessellar, name)
    signature, doc = CLASS_SURFACE[name]
    assert isinstance(cls, type)
    assert cls.__name__ == name
    assert cls.__module__ == "tessellar"
    assert cls.__doc__ == doc
    assert cls.__text_signature__ == signature


@pytest.mark.parametrize(
    "cls, name, signature, description",
    [(cls, *member) for cls, members in METHOD_SURFACE.items() for member in members],
)
def test_method_surface(cls, name, signature, description):
    method = getattr(cls, name)
    assert method.__doc__ == description
    assert method.__text_signature__ == signature


def test_method_tables_are_complete():
    for cls, members in METHOD_SURFACE.items():
        defined = [name for name in vars(cls) if not name.startswith("__")]
        assert defined == [member[0] for member in members]


def test_with_capacity_is_static():
    assert isinstance(inspect.getattr_static(StringInternerCore, "with_capacity"), staticmethod)
    assert type(StringInternerCore.with_capacity(3)) is StringInternerCore


def test_second_import_returns_same_module():
    assert importlib.import_module("tessellar") is tessellar
    import tessellar as again

    assert again is tessellar


def test_reimport_after_removal_keeps_module_and_classes():
    script = textwrap.dedent(
        """
        import importlib, sys
        import tessellar as first
        interner = first.StringInternerCore()
        del sys.modules["tessellar"]
        second = importlib.import_module("tessellar")
        assert second.StringInternerCore is first.StringInternerCore, "classes differ"
        assert type(interner) is second.StringInternerCore
        assert second is first, "a new module object"
        print("ok")
        """
    )
    result = run_python(script)
    assert result.stdout.strip() == "ok", result.stderr


SUBINTERPRETER_REFUSAL = "ImportError: tessellar does not support sub-interpreters"


def test_import_in_subinterpreter_fails():
    from subinterpreters import run_in_subinterpreter

    error = run_in_subinterpreter(f"import sys; sys.path.insert(0, {module_dir()!r}); import tessellar")
    assert SUBINTERPRETER_REFUSAL in error
    assert StringInternerCore().intern("main still works") == 0


def test_subinterpreter_first_does_not_claim_the_module():
    tests_dir = os.path.dirname(os.path.abspath(__file__))
    script = textwrap.dedent(
        f"""
        import sys
        sys.path.insert(0, {tests_dir!r})
        from subinterpreters import run_in_subinterpreter
        error = run_in_subinterpreter("import tessellar")
        assert {SUBINTERPRETER_REFUSAL!r} in (error or ""), error
        import tessellar
        assert tessellar.StringInternerCore().intern("x") == 0
        print("ok")
        """
    )
    result = run_python(script)
    assert result.stdout.strip() == "ok", result.stdout + result.stderr
