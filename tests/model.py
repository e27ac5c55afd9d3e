"""A pure-Python model of what the module's four classes do, as seen from
Python: the same results and the same exceptions (type and message) for the
same calls. Property tests drive it side by side with the extension.

Orders the module leaves open (map iteration, the IDs that new dataset names
and records receive within one ingestion) are not modelled: `adopt_ids`
takes the numbering the extension chose once it has been checked against
what is allowed.
"""

import hashlib
import itertools
import operator
import struct
import unicodedata

# --- digests -------------------------------------------------------------------------

_IV = (0x6A09E667, 0xBB67AE85, 0x3C6EF372, 0xA54FF53A, 0x510E527F, 0x9B05688C, 0x1F83D9AB, 0x5BE0CD19)
_PERMUTATION = (2, 6, 3, 10, 7, 0, 4, 13, 1, 11, 12, 5, 9, 14, 15, 8)
_CHUNK_START, _CHUNK_END, _PARENT, _ROOT = 1, 2, 4, 8
_MASK = 0xFFFFFFFF


def _compress(cv, words, counter, length, flags):
    v = list(cv) + list(_IV[:4]) + [counter & _MASK, counter >> 32, length, flags]
    m = list(words)

    def g(a, b, c, d, x, y):
        v[a] = (v[a] + v[b] + x) & _MASK
        v[d] = ((v[d] ^ v[a]) >> 16 | (v[d] ^ v[a]) << 16) & _MASK
        v[c] = (v[c] + v[d]) & _MASK
        v[b] = ((v[b] ^ v[c]) >> 12 | (v[b] ^ v[c]) << 20) & _MASK
        v[a] = (v[a] + v[b] + y) & _MASK
        v[d] = ((v[d] ^ v[a]) >> 8 | (v[d] ^ v[a]) << 24) & _MASK
        v[c] = (v[c] + v[d]) & _MASK
        v[b] = ((v[b] ^ v[c]) >> 7 | (v[b] ^ v[c]) << 25) & _MASK

    for round_ in range(7):
        g(0, 4, 8, 12, m[0], m[1]); g(1, 5, 9, 13, m[2], m[3])
        g(2, 6, 10, 14, m[4], m[5]); g(3, 7, 11, 15, m[6], m[7])
        g(0, 5, 10, 15, m[8], m[9]); g(1, 6, 11, 12, m[10], m[11])
        g(2, 7, 8, 13, m[12], m[13]); g(3, 4, 9, 14, m[14], m[15])
        m = [m[i] for i in _PERMUTATION]
    return [v[i] ^ v[i + 8] for i in range(8)] + [v[i + 8] ^ cv[i] for i in range(8)]


def _words(block):
    return struct.unpack("<16I", block.ljust(64, b"\0"))


def _chunk_node(chunk, counter):
    """The last compression of a chunk, left open for the ROOT flag."""
    blocks = [chunk[i:i + 64] for i in range(0, len(chunk), 64)] or [b""]
    cv = _IV
    for index, block in enumerate(blocks[:-1]):
        cv = _compress(cv, _words(block), counter, 64, _CHUNK_START if index == 0 else 0)[:8]
    flags = _CHUNK_END | (_CHUNK_START if len(blocks) == 1 else 0)
    return cv, _words(blocks[-1]), counter, len(blocks[-1]), flags


def _tree_node(chunks, first):
    if len(chunks) == 1:
        return _chunk_node(chunks[0], first)
    left = 1 << ((len(chunks) - 1).bit_length() - 1)
    cvs = [_compress(*_tree_node(part, start))[:8] for part, start in ((chunks[:left], first),
                                                                       (chunks[left:], first + left))]
    return _IV, cvs[0] + cvs[1], 0, 64, _PARENT


def blake3(data):
    """The 32-byte BLAKE3 hash of `data` (unkeyed hash mode)."""
    chunks = [data[i:i + 1024] for i in range(0, len(data), 1024)] or [b""]
    cv, words, counter, length, flags = _tree_node(chunks, 0)
    return struct.pack("<8I", *_compress(cv, words, counter, length, flags | _ROOT)[:8])


DIGESTS = {
    "sha256": lambda data: hashlib.sha256(data).digest(),
    "sha512": lambda data: hashlib.sha512(data).digest(),
    "sha3-256": lambda data: hashlib.sha3_256(data).digest(),
    "sha3-512": lambda data: hashlib.sha3_512(data).digest(),
    "blake3": blake3,
}


def digest_function(algorithm):
    function = DIGESTS.get(algorithm.lower())
    if function is None:
        raise ValueError(f"Unsupported hash algorithm: {str.__str__(algorithm)}. "
                         "Supported: sha256, sha512, sha3-256, sha3-512, blake3")
    return function


def name_derived_id(name):
    return int.from_bytes(blake3(name.encode())[:4], "little")


# --- argument conversion -------------------------------------------------------------

RANGE_ERROR = "out of range integral type conversion attempted"


def type_name(value):
    return type(value).__name__


def conversion_message(value, target):
    return f"'{type_name(value)}' object cannot be converted to '{target}'"


def _prefixed(parameter, convert, value):
    """A TypeError from converting a parameter carries the parameter's name."""
    try:
        return convert(value)
    except TypeError as error:
        raise TypeError(f"argument '{parameter}': {error}") from None


def utf8(value):
    if not isinstance(value, str):
        raise TypeError(conversion_message(value, "PyString"))
    str.encode(value, "utf-8")  # lone surrogates: the interpreter's UnicodeEncodeError
    return str.__str__(value)


def _int64(value):
    number = value if type(value) is int else operator.index(value)
    if not -2**63 <= number < 2**63:
        raise OverflowError("int too big to convert")
    return number


def id32(value):
    number = _int64(value)
    if not 0 <= number <= 0xFFFFFFFF:
        raise OverflowError(RANGE_ERROR)
    return number


def index64(value):
    number = operator.index(value)
    if number < 0:
        raise OverflowError("can't convert negative int to unsigned")
    if number >= 2**64:
        raise OverflowError("int too big to convert")
    return number


def is_sequence(value):
    """The interpreter's sequence check, for the kinds of value the tests
    build: anything with item access except dicts."""
    return not isinstance(value, dict) and hasattr(type(value), "__getitem__")


def check_list(value):
    if isinstance(value, str):
        raise TypeError("Can't extract `str` to `Vec`")
    if not is_sequence(value):
        raise TypeError(conversion_message(value, "Sequence"))


def list_of(item):
    def convert(value):
        check_list(value)
        return [item(element) for element in value]
    return convert


def arguments(**kinds):
    """Converts keyword arguments in the given order by their kinds."""
    return [_prefixed(name, convert, value) for name, (convert, value) in kinds.items()]


def str_order(text):
    return text.encode()


# --- interner ------------------------------------------------------------------------


class StringInterner:
    def __init__(self, strings=()):
        self.strings = list(strings)
        self.ids = {s: i for i, s in enumerate(self.strings)}

    def copy(self):
        return StringInterner(self.strings)

    def intern_text(self, text):
        found = self.ids.get(text)
        if found is None:
            found = self.ids[text] = len(self.strings)
            self.strings.append(text)
        return found

    def string(self, string_id):
        if string_id >= len(self.strings):
            raise IndexError("Invalid string ID")
        return self.strings[string_id]

    def sorted_ids(self):
        return sorted(range(len(self.strings)), key=lambda i: str_order(self.strings[i]))

    # The Python methods.
    def intern(self, s):
        (text,) = arguments(s=(utf8, s))
        return self.intern_text(text)

    def lookup(self, s):
        (text,) = arguments(s=(utf8, s))
        return self.ids.get(text)

    def get_string(self, id):
        (string_id,) = arguments(id=(id32, id))
        return self.string(string_id)

    def len(self):
        return len(self.strings)

    def is_empty(self):
        return not self.strings


# --- entity --------------------------------------------------------------------------


class Entity:
    """records: dataset ID -> set of record IDs; ordered: dataset ID -> the
    record IDs by string with duplicates, as ingestion stored them (empty
    after any other addition); metadata: key ID -> object, or None."""

    def __init__(self, records=None, ordered=None):
        self.records = records or {}
        self.ordered = ordered or {}
        self.metadata = None

    def copy(self):
        copy = Entity({d: set(r) for d, r in self.records.items()}, {d: list(r) for d, r in self.ordered.items()})
        copy.metadata = None if self.metadata is None else dict(self.metadata)
        return copy

    def add(self, dataset_id, record_ids):
        self.records.setdefault(dataset_id, set()).update(record_ids)
        self.ordered = {}

    def set_meta(self, key_id, value):
        if self.metadata is None:
            self.metadata = {}
        self.metadata[key_id] = value

    def total(self):
        return sum(len(records) for records in self.records.values())

    def stream(self, interner, fail_on_unknown):
        """The canonical byte stream over the strings of `interner`."""
        known = len(interner.strings)
        parts = []
        for dataset_id in sorted((d for d in self.records if d < known), key=lambda d: str_order(interner.strings[d])):
            parts.append(interner.strings[dataset_id].encode())
            read = self.ordered.get(dataset_id, self.records[dataset_id])
            if fail_on_unknown and any(r >= known for r in read):
                raise IndexError("Invalid string ID")
            if dataset_id in self.ordered:
                records = read
            else:
                records = sorted((r for r in read if r < known), key=lambda r: str_order(interner.strings[r]))
            parts.extend(interner.strings[r].encode() for r in records if r < known)
        return b"".join(parts)

    def jaccard(self, other):
        common = union = 0
        for dataset_id in self.records.keys() | other.records.keys():
            mine, theirs = self.records.get(dataset_id, set()), other.records.get(dataset_id, set())
            common += len(mine & theirs)
            union += len(mine | theirs)
        return 1.0 if union == 0 else common / union

    # The Python methods.
    def add_record_by_id(self, dataset_id, record_id):
        dataset, record = arguments(dataset_id=(id32, dataset_id), record_id=(id32, record_id))
        self.add(dataset, [record])

    def add_records_by_id(self, dataset_id, record_ids):
        dataset, records = arguments(dataset_id=(id32, dataset_id), record_ids=(list_of(id32), record_ids))
        self.add(dataset, records)

    def add_record(self, dataset, record_id):
        name, record = arguments(dataset=(utf8, dataset), record_id=(id32, record_id))
        self.add(name_derived_id(name), [record])

    def add_records(self, dataset, record_ids):
        name, records = arguments(dataset=(utf8, dataset), record_ids=(list_of(id32), record_ids))
        self.add(name_derived_id(name), records)

    def hash_dataset_name(self, dataset):
        (name,) = arguments(dataset=(utf8, dataset))
        return name_derived_id(name)

    def get_records(self, dataset):
        (name,) = arguments(dataset=(utf8, dataset))
        return sorted(self.records.get(name_derived_id(name), ()))

    def get_records_by_id(self, dataset_id):
        (dataset,) = arguments(dataset_id=(id32, dataset_id))
        return sorted(self.records.get(dataset, ()))

    def get_dataset_ids(self):
        return list(self.records)

    def get_datasets(self):
        return [f"dataset_{d}" for d in self.records]

    def has_dataset(self, dataset):
        (name,) = arguments(dataset=(utf8, dataset))
        return name_derived_id(name) in self.records

    def has_dataset_id(self, dataset_id):
        (dataset,) = arguments(dataset_id=(id32, dataset_id))
        return dataset in self.records

    def total_records(self):
        return self.total()

    def jaccard_similarity(self, other):
        if not isinstance(other, Entity):
            raise TypeError("argument 'other': " + conversion_message(other, "EntityCore"))
        return self.jaccard(other)

    def set_metadata(self, key_id, value):
        (key,) = arguments(key_id=(id32, key_id))
        self.set_meta(key, value)

    def get_metadata_by_id(self, key_id):
        (key,) = arguments(key_id=(id32, key_id))
        return (self.metadata or {}).get(key)

    def has_metadata(self, key_id):
        (key,) = arguments(key_id=(id32, key_id))
        return key in (self.metadata or {})

    def clear_metadata(self):
        self.metadata = None

    def get_metadata_keys(self):
        return list(self.metadata or {})


# --- collection ----------------------------------------------------------------------


def _digests(entities, interner, algorithm):
    if not entities:
        return []
    digest = digest_function(algorithm)
    return [digest(entity.stream(interner, fail_on_unknown=False)) for entity in entities]


class Collection:
    def __init__(self, process_name, entities=()):
        self.process_name = process_name
        self.entities = list(entities)

    @classmethod
    def new(cls, process_name):
        """CollectionCore(process_name)."""
        (name,) = arguments(process_name=(utf8, process_name))
        return cls(name)

    def copy(self):
        return Collection(self.process_name, [entity.copy() for entity in self.entities])

    def entity(self, index):
        if index >= len(self.entities):
            raise IndexError("Entity index out of range")
        return self.entities[index]

    def compare(self, other):
        if len(self.entities) != len(other.entities):
            raise ValueError("Collections must have the same number of entities to compare")
        return [{"entity_index": i, "process1": self.process_name, "process2": other.process_name,
                 "jaccard": a.jaccard(b)} for i, (a, b) in enumerate(zip(self.entities, other.entities))]

    def store_hashes(self, interner, algorithm):
        digests = _digests(self.entities, interner, algorithm)
        key = interner.intern_text("hash")
        for entity, digest in zip(self.entities, digests):
            entity.set_meta(key, digest)

    def check_hashes(self, interner, algorithm):
        key = interner.intern_text("hash")
        if not any(key in (entity.metadata or {}) for entity in self.entities):
            return True
        digests = _digests(self.entities, interner, algorithm)
        for entity, digest in zip(self.entities, digests):
            if key in (entity.metadata or {}):
                stored = entity.metadata[key]
                if not isinstance(stored, bytes) or not bytes.__eq__(stored, digest):
                    return False
        return True

    # The Python methods.
    def len(self):
        return len(self.entities)

    def is_empty(self):
        return not self.entities

    def total_records(self):
        return sum(entity.total() for entity in self.entities)

    def get_entity(self, index):
        (position,) = arguments(index=(index64, index))
        return self.entity(position).copy()

    def get_entities(self):
        return [entity.copy() for entity in self.entities]

    def compare_with(self, other):
        if not isinstance(other, Collection):
            raise TypeError("argument 'other': " + conversion_message(other, "CollectionCore"))
        return self.compare(other)


# --- frame ---------------------------------------------------------------------------


class Ingestion:
    """What add_method read from its input before building anything."""

    def __init__(self):
        self.entities = []  # per entity: [(dataset name, [record strings])] in dict order
        self.metadata = []  # per entity: [(key ID, value)]


class Frame:
    def __init__(self):
        self.interner = StringInterner()
        self.collections = {}
        self.datasets = {}
        # (strings after reading, what was read, datasets before) of the
        # last add_method that got as far as building entities.
        self.last_ingestion = None

    @classmethod
    def with_datasets(cls, dataset_names):
        (names,) = arguments(dataset_names=(list_of(utf8), dataset_names))
        frame = cls()
        for name in names:
            frame.declare(name)
        return frame

    def declare(self, name):
        self.datasets[name] = self.interner.intern_text(name)
        return self.datasets[name]

    def collection(self, name):
        if name not in self.collections:
            raise KeyError(f"Collection '{name}' not found")
        return self.collections[name]

    def entity(self, collection_name, index):
        return self.collection(collection_name).entity(index)

    # Ingestion, in the order the module reads and interns.
    def read_entity_data(self, entity_data):
        read = Ingestion()
        for element in entity_data:
            if not isinstance(element, dict):
                raise TypeError(conversion_message(element, "PyDict"))
            datasets, metadata = [], []
            for key, value in dict.items(element):
                name = utf8(key)
                if name == "metadata":
                    if not isinstance(value, dict):
                        raise TypeError(conversion_message(value, "PyDict"))
                    for meta_key, meta_value in dict.items(value):
                        metadata.append((self.interner.intern_text(utf8(meta_key)), meta_value))
                    continue
                check_list(value)
                datasets.append((name, [utf8(record) for record in value]))
            read.entities.append(datasets)
            read.metadata.append(metadata)
        return read

    def ingest(self, method_name, read):
        """Builds the collection. New dataset names and records get IDs in
        input order here; the extension may pick another allowed order."""
        for datasets in read.entities:
            for name, _ in datasets:
                if name not in self.datasets:
                    self.declare(name)
        collection = Collection(method_name)
        for datasets, metadata in zip(read.entities, read.metadata):
            records, ordered = {}, {}
            for name, texts in datasets:
                dataset_id = self.datasets[name]
                ids = [self.interner.intern_text(text) for text in texts]
                records[dataset_id] = set(ids)
                ordered[dataset_id] = sorted(ids, key=lambda i: str_order(self.interner.strings[i]))
            entity = Entity(records, ordered)
            for key_id, value in metadata:
                entity.set_meta(key_id, value)
            collection.entities.append(entity)
        self.collections[method_name] = collection

    # The Python methods.
    def declare_dataset(self, dataset_name):
        (name,) = arguments(dataset_name=(utf8, dataset_name))
        return self.declare(name)

    def get_dataset_id(self, dataset_name):
        (name,) = arguments(dataset_name=(utf8, dataset_name))
        return self.datasets[name] if name in self.datasets else self.declare(name)

    def get_dataset_name(self, dataset_id):
        (dataset,) = arguments(dataset_id=(id32, dataset_id))
        return self.interner.string(dataset)

    def get_dataset_names(self):
        return list(self.datasets)

    def interner_size(self):
        return len(self.interner.strings)

    def create_collection(self, name):
        (text,) = arguments(name=(utf8, name))
        return Collection(text)

    def add_collection(self, name, collection):
        (text,) = arguments(name=(utf8, name))
        if not isinstance(collection, Collection):
            raise TypeError("argument 'collection': " + conversion_message(collection, "CollectionCore"))
        self.collections[text] = collection.copy()

    def add_method(self, method_name, entity_data):
        self.last_ingestion = None
        (name,) = arguments(method_name=(utf8, method_name))
        (elements,) = arguments(entity_data=(list_of(lambda element: element), entity_data))
        read = self.read_entity_data(elements)
        self.last_ingestion = (list(self.interner.strings), read, dict(self.datasets))
        self.ingest(name, read)

    def get_collection_names(self):
        return list(self.collections)

    def get_collection(self, name):
        (text,) = arguments(name=(utf8, name))
        found = self.collections.get(text)
        return None if found is None else found.copy()

    def compare_collections(self, name1, name2):
        first, second = arguments(name1=(utf8, name1), name2=(utf8, name2))
        return self.collection(first).compare(self.collection(second))

    def collection_count(self):
        return len(self.collections)

    def total_entities(self):
        return sum(len(c.entities) for c in self.collections.values())

    def entity_has_dataset(self, collection_name, entity_index, dataset_name):
        name, index, dataset = arguments(collection_name=(utf8, collection_name), entity_index=(index64, entity_index),
                                         dataset_name=(utf8, dataset_name))
        entity = self.entity(name, index)
        return dataset in self.datasets and self.datasets[dataset] in entity.records

    def set_entity_metadata(self, collection_name, entity_index, key, value):
        name, index, text = arguments(collection_name=(utf8, collection_name), entity_index=(index64, entity_index),
                                      key=(utf8, key))
        entity = self.entity(name, index)
        entity.set_meta(self.interner.intern_text(text), value)

    def get_entity_metadata(self, collection_name, entity_index, key):
        name, index, text = arguments(collection_name=(utf8, collection_name), entity_index=(index64, entity_index),
                                      key=(utf8, key))
        entity = self.entity(name, index)
        key_id = self.interner.ids.get(text)
        return None if key_id is None else (entity.metadata or {}).get(key_id)

    def hash_entity(self, collection_name, entity_index, algorithm="sha256"):
        name, index, algorithm = arguments(collection_name=(utf8, collection_name),
                                           entity_index=(index64, entity_index), algorithm=(utf8, algorithm))
        entity = self.entity(name, index)
        digest = digest_function(algorithm)
        return digest(entity.stream(self.interner, fail_on_unknown=True))

    def hash_collection(self, collection_name, algorithm="sha256"):
        name, algorithm = arguments(collection_name=(utf8, collection_name), algorithm=(utf8, algorithm))
        return _digests(self.collection(name).entities, self.interner, algorithm)

    def hash_all_entities(self, algorithm="sha256"):
        (algorithm,) = arguments(algorithm=(utf8, algorithm))
        return {name: _digests(c.entities, self.interner, algorithm) for name, c in self.collections.items()}

    def add_collection_hash(self, collection_name, algorithm):
        name, algorithm = arguments(collection_name=(utf8, collection_name), algorithm=(utf8, algorithm))
        self.collection(name).store_hashes(self.interner, algorithm)

    def verify_collection_hashes(self, collection_name, algorithm):
        name, algorithm = arguments(collection_name=(utf8, collection_name), algorithm=(utf8, algorithm))
        return self.collection(name).check_hashes(self.interner, algorithm)

    def __str__(self):
        return render(self)


# --- numbering chosen by the extension -----------------------------------------------


def allowed_numbering(before, read, datasets_before, new_strings):
    """Whether `new_strings` (the strings an ingestion added after its
    metadata keys, by ID) is a numbering the module may choose: new dataset
    names first, entity by entity in any order within an entity; then each
    entity's new records, visiting its datasets in some order and each
    dataset's records in list order."""
    known = set(before) | set(datasets_before)
    position = 0
    for datasets in read.entities:
        fresh = {name for name, _ in datasets if name not in known}
        if set(new_strings[position:position + len(fresh)]) != fresh:
            return False
        position += len(fresh)
        known |= fresh
    for datasets in read.entities:
        options = set()
        for order in itertools.permutations(datasets):
            seen, added = set(known), []
            for _, texts in order:
                for text in texts:
                    if text not in seen:
                        seen.add(text)
                        added.append(text)
            options.add(tuple(added))
        block = next(iter(options))
        if tuple(new_strings[position:position + len(block)]) not in options:
            return False
        known |= set(block)
        position += len(block)
    return position == len(new_strings)


def adopt_ids(model, actual_strings):
    """Renumbers the model's strings from position `len(...)` on to the
    extension's numbering (a permutation of the same strings)."""
    mapping = {model.interner.ids[s]: i for i, s in enumerate(actual_strings)}
    model.interner = StringInterner(actual_strings)
    model.datasets = {name: mapping[i] for name, i in model.datasets.items()}
    for collection in model.collections.values():
        for entity in collection.entities:
            renumber(entity, mapping)


def renumber(entity, mapping):
    entity.records = {mapping.get(d, d): {mapping.get(r, r) for r in rs} for d, rs in entity.records.items()}
    entity.ordered = {mapping.get(d, d): [mapping.get(r, r) for r in rs] for d, rs in entity.ordered.items()}
    if entity.metadata is not None:
        entity.metadata = {mapping.get(k, k): v for k, v in entity.metadata.items()}


# --- rendering -----------------------------------------------------------------------


def display_width(text):
    return sum(0 if unicodedata.combining(ch) else 2 if unicodedata.east_asian_width(ch) in "WF" else 1
               for ch in text)


def render(frame):
    """str(frame) when standard output is not a terminal."""
    if not frame.collections:
        return "EntityFrame (empty)"
    if not frame.datasets:
        return f"EntityFrame with {len(frame.collections)} collection(s), no datasets"
    names = sorted(frame.collections, key=str_order)
    datasets = sorted(frame.datasets, key=str_order)
    rows = [[""] + names, ["**Entities**"] + [str(len(frame.collections[n].entities)) for n in names],
            ["**Datasets**"] + [""] * len(names)]
    for i, dataset in enumerate(datasets):
        dataset_id = frame.datasets[dataset]
        counts = []
        for name in names:
            union = set()
            for entity in frame.collections[name].entities:
                union |= entity.records.get(dataset_id, set())
            counts.append(str(len(union)))
        rows.append([("└─ " if i == len(datasets) - 1 else "├─ ") + dataset] + counts)
    widths = [max(display_width(row[c]) for row in rows) + 2 for c in range(len(rows[0]))]

    def rule(left, fill, cross, right):
        return left + cross.join(fill * w for w in widths) + right

    def line(row):
        return "│" + "┆".join(" " + cell + " " * (w - 1 - display_width(cell)) for cell, w in zip(row, widths)) + "│"

    lines = [rule("╭", "─", "┬", "╮"), line(rows[0]), rule("╞", "═", "╪", "╡")]
    for index, row in enumerate(rows[1:]):
        if index:
            lines.append(rule("├", "╌", "┼", "┤"))
        lines.append(line(row))
    lines.append(rule("╰", "─", "┴", "╯"))
    return "\n".join(lines)
