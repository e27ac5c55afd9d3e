import fcntl
import os
import pty
import re
import struct
import subprocess
import sys
import termios
import textwrap
import unicodedata

import pytest

import tessellar

EXAMPLE = """\
╭──────────────┬───┬───╮
│              ┆ a ┆ b │
╞══════════════╪═══╪═══╡
│ **Entities** ┆ 2 ┆ 3 │
├╌╌╌╌╌╌╌╌╌╌╌╌╌╌┼╌╌╌┼╌╌╌┤
│ **Datasets** ┆   ┆   │
├╌╌╌╌╌╌╌╌╌╌╌╌╌╌┼╌╌╌┼╌╌╌┤
│ ├─ crm       ┆ 5 ┆ 4 │
├╌╌╌╌╌╌╌╌╌╌╌╌╌╌┼╌╌╌┼╌╌╌┤
│ └─ erp       ┆ 1 ┆ 0 │
╰──────────────┴───┴───╯"""

ESCAPE = re.compile(r"\x1b\[[0-9;]*m")


def example_frame():
    frame = tessellar.EntityFrame.with_datasets(["erp", "crm"])
    # Inserted out of order, with a crm record shared by two entities of b.
    frame.add_method("b", [{"crm": ["c1", "c2"]}, {"crm": ["c2", "c3"]}, {"crm": ["c4"], "erp": []}])
    frame.add_method("a", [{"crm": ["c1", "c2", "c3"], "erp": ["e1"]}, {"crm": ["c4", "c5"]}])
    return frame


def display_width(text):
    return sum(0 if unicodedata.combining(ch) else 2 if unicodedata.east_asian_width(ch) in "WF" else 1
               for ch in text)


def test_example_table_byte_for_byte():
    frame = example_frame()
    assert str(frame) == EXAMPLE
    assert repr(frame) == EXAMPLE


@pytest.mark.parametrize("declared", [[], ["crm", "erp"]])
def test_frame_without_collections_is_empty(declared):
    assert str(tessellar.EntityFrame.with_datasets(declared)) == "EntityFrame (empty)"


def test_frame_without_datasets_is_one_line():
    frame = tessellar.EntityFrame()
    frame.add_method("m1", [])
    frame.add_method("m2", [{}])
    assert str(frame) == "EntityFrame with 2 collection(s), no datasets"


def body_labels(text):
    return [line.split("┆")[0].strip("│ ") for line in text.splitlines()[3:-1:2]]


def test_collections_and_datasets_in_byte_order():
    frame = tessellar.EntityFrame.with_datasets(["ab", "a", "B"])
    for name in ["ab", "a", "B"]:
        frame.add_method(name, [])
    lines = str(frame).splitlines()
    assert [cell.strip() for cell in lines[1].strip("│").split("┆")] == ["", "B", "a", "ab"]
    assert body_labels(str(frame))[2:] == ["├─ B", "├─ a", "└─ ab"]


def test_single_dataset_is_the_last_row():
    frame = tessellar.EntityFrame.with_datasets(["only"])
    frame.add_method("m", [{"only": ["r"]}])
    assert body_labels(str(frame))[2:] == ["└─ only"]


def test_counts_distinct_records_and_unused_datasets():
    frame = tessellar.EntityFrame.with_datasets(["unused", "crm"])
    frame.add_method("m", [{"crm": ["r1", "r2"]}, {"crm": ["r2", "r2"]}, {"other": ["r1"]}])
    rows = {line.split("┆")[0].strip("│ "): line.split("┆")[1].strip(" │")
            for line in str(frame).splitlines()[3:-1:2]}
    # "other" was declared by ingestion, so it is listed too.
    assert rows == {"**Entities**": "3", "**Datasets**": "", "├─ crm": "2", "├─ other": "1", "└─ unused": "0"}


def test_wide_characters_align():
    frame = tessellar.EntityFrame.with_datasets(["顧客", "cafe\u0301"])
    frame.add_method("方法", [{"顧客": ["x"]}])
    widths = {display_width(line) for line in str(frame).splitlines()}
    assert len(widths) == 1


def render_in_subprocess(code, width=None):
    """Runs `code` with stdout on a pseudo-terminal of `width` columns (or a pipe)."""
    script = textwrap.dedent(code)
    if width is None:
        return subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, width, 0, 0))
    attributes = termios.tcgetattr(slave)
    attributes[1] &= ~termios.OPOST  # keep line feeds as they are
    termios.tcsetattr(slave, termios.TCSANOW, attributes)
    process = subprocess.Popen([sys.executable, "-c", script], stdout=slave, stderr=subprocess.PIPE)
    os.close(slave)
    chunks = []
    while True:
        try:
            chunk = os.read(master, 65536)
        except OSError:  # the child closed the terminal
            break
        if not chunk:
            break
        chunks.append(chunk)
    os.close(master)
    with process:
        errors = process.stderr.read()
    assert process.returncode == 0, errors
    return b"".join(chunks).decode()


WIDE_FRAME = """
    import tessellar
    frame = tessellar.EntityFrame.with_datasets(["a_rather_long_dataset_name_%d" % i for i in range(3)])
    for name in ["first_method_with_a_long_name", "second_method_with_a_long_name", "third"]:
        frame.add_method(name, [{"a_rather_long_dataset_name_0": ["r1", "r2"]}])
    print(str(frame))
"""


@pytest.mark.parametrize("width", [40, 60, 80])
def test_terminal_output_fits_and_is_styled(width):
    text = render_in_subprocess(WIDE_FRAME, width)
    assert "\x1b[1m" in text
    lines = [ESCAPE.sub("", line) for line in text.rstrip("\n").split("\n")]
    assert max(display_width(line) for line in lines) <= width


def test_pipe_output_is_plain_and_unwrapped():
    text = render_in_subprocess(WIDE_FRAME)
    assert "\x1b[" not in text
    assert "second_method_with_a_long_name" in text
