"""A sequence type written in Python, for inputs that run Python code while
the extension reads them."""

from collections.abc import Sequence


class HookedSequence(Sequence):
    """A sequence written in Python; `hook(index)` runs on every item read."""

    def __init__(self, items, hook=None):
        self.items = list(items)
        self.hook = hook

    def __len__(self):
        return len(self.items)

    def __getitem__(self, index):
        if self.hook:
            self.hook(index)
        return self.items[index]
