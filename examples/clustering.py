"""Turning matched record pairs into entities and lining entities up with a
reference resolution. Pure Python, so the demo's logic can be tested without
pandas or recordlinkage.

A record is a (dataset name, record ID) pair; a pair of records is a match.
"""

from collections import defaultdict


def connected_components(records, matches):
    """Number the clusters: records joined by a chain of matches share a
    cluster number, a record without matches is a cluster of its own.
    Every record named in a match must be among `records`."""
    parent = {record: record for record in records}

    def root(record):
        while parent[record] != record:
            parent[record] = parent[parent[record]]  # path halving keeps chains short
            record = parent[record]
        return record

    for left, right in matches:
        left_root, right_root = root(left), root(right)
        if left_root != right_root:
            parent[right_root] = left_root
    numbers = {}
    return {record: numbers.setdefault(root(record), len(numbers)) for record in parent}


def normalised_key(values):
    """Lower-cased, stripped values joined into one key; None when any value
    is missing, blank or not a string, so that missing data never makes a
    match."""
    parts = []
    for value in values:
        text = value.strip().lower() if isinstance(value, str) else ""
        if not text:
            return None
        parts.append(text)
    return "|".join(parts)


def matches_sharing_key(keyed_records):
    """Matches that chain together all records with the same key: each record
    is matched with the first record seen under its key. Records keyed None
    are left alone."""
    first_with_key = {}
    matches = []
    for record, key in keyed_records:
        if key is None:
            continue
        first = first_with_key.setdefault(key, record)
        if first != record:
            matches.append((first, record))
    return matches


def cluster_entities(cluster_of):
    """Each cluster as an entity dict: dataset name to sorted record IDs."""
    members = defaultdict(lambda: defaultdict(list))
    for (dataset, record_id), cluster in cluster_of.items():
        members[cluster][dataset].append(record_id)
    return {cluster: {dataset: sorted(ids) for dataset, ids in datasets.items()}
            for cluster, datasets in members.items()}


def aligned_entities(cluster_of, anchors):
    """One entity per anchor record, in anchor order: the whole cluster that
    holds the anchor. Two anchors in one cluster get the same entity."""
    entities = cluster_entities(cluster_of)
    return [entities[cluster_of[anchor]] for anchor in anchors]


def cross_dataset_pairs(cluster_of, left_dataset, right_dataset):
    """The (left record ID, right record ID) pairs that the clusters put
    together, one per left and right record sharing a cluster."""
    pairs = set()
    for entity in cluster_entities(cluster_of).values():
        for left_id in entity.get(left_dataset, ()):
            pairs.update((left_id, right_id) for right_id in entity.get(right_dataset, ()))
    return pairs
