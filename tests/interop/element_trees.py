"""Whole data sets as trees: every element at every depth, as pydicom finds
it in a file and as `dicomtk dump --hex` prints it, and their differences.

A node is one element: its tag, its VR where the encoding carries it, and
either its length and value bytes or, for a sequence, its items (each a list
of nodes). pydicom serves as the reference reader through its raw element
parser: values are the bytes in the file, sequences of defined length are
split into items with pydicom's own sequence reader, sequences of undefined
length come split already, and encapsulated pixel data keep the bytes of
their items (basic offset table and fragments, without the closing
delimitation). Group length elements (gggg,0000) are left out at every depth:
the toolkit recomputes their values when it writes.
"""

import re
from io import BytesIO

from pydicom.datadict import dictionary_VR
from pydicom.dataelem import RawDataElement
from pydicom.filereader import read_sequence

UNDEFINED = 0xFFFFFFFF
ITEM_TAG = b"\xfe\xff\x00\xe0"  # (FFFE,E000) little endian
SEQUENCE_VRS = ("SQ", "UN")


class Node:
    __slots__ = ("tag", "vr", "length", "value", "items", "implicit", "little")

    def __init__(self, tag, vr, length, value, items, implicit=True, little=True):
        self.tag, self.vr, self.length, self.value, self.items = tag, vr, length, value, items
        self.implicit, self.little = implicit, little


def tag_text(tag):
    return f"({tag >> 16:04X},{tag & 0xFFFF:04X})"


def hex_preview(value, limit=24):
    text = value[:limit].hex().upper()
    return text + ("..." if len(value) > limit else "")


def is_group_length(tag):
    return tag & 0xFFFF == 0


# --------------------------------------------------------------------------
# pydicom's side

def vr_text(vr):
    """A VR as its two letters (pydicom may hand out an enumeration member)."""
    return getattr(vr, "value", vr)


def dictionary_vr(tag):
    try:
        return vr_text(dictionary_VR(tag))
    except KeyError:
        return None


def item_encoding(item, implicit, little):
    """The encoding of an item's contents, as pydicom read them."""
    for element in item._dict.values():
        if isinstance(element, RawDataElement):
            return element.is_implicit_VR, element.is_little_endian
    return implicit, little


def parse_items(value, implicit, little):
    """The items of a sequence's value bytes, or None when they are not items."""
    try:
        sequence = read_sequence(BytesIO(value), implicit, little, len(value), "iso8859")
    except Exception:  # not a sequence after all: the bytes stay bytes
        return None
    items = []
    for item in sequence:
        inner_implicit, inner_little = item_encoding(item, implicit, little)
        items.append(reference_nodes(item._dict.values(), inner_implicit, inner_little))
    return items


def reference_nodes(elements, implicit, little):
    return [reference_node(element, implicit, little) for element in elements]


def reference_node(element, implicit, little):
    tag = int(element.tag)
    if isinstance(element, RawDataElement):
        implicit, little = element.is_implicit_VR, element.is_little_endian
        vr = None if implicit else vr_text(element.VR)
        value = bytes(element.value or b"")
        if element.length == UNDEFINED:  # encapsulated pixel data
            return Node(tag, vr, len(value), value, None, implicit, little)
        if value and (vr == "SQ" or (implicit and dictionary_vr(tag) == "SQ")):
            items = parse_items(value, implicit, little)
            if items is not None:
                return Node(tag, vr, None, None, items, implicit, little)
        return Node(tag, vr, element.length, value, None, implicit, little)
    # A sequence of undefined length, which pydicom split while walking.
    vr = None if implicit else vr_text(element.VR)
    items = []
    for item in element.value:
        inner_implicit, inner_little = item_encoding(item, implicit, little)
        items.append(reference_nodes(item._dict.values(), inner_implicit, inner_little))
    return Node(tag, vr, None, None, items, implicit, little)


# --------------------------------------------------------------------------
# dicomtk's side: `dump --hex`, items indented under their element

DUMP_LINE = re.compile(r"^\(([0-9A-F]{4}),([0-9A-F]{4})\) (.{0,2}) (\d+)(?: ([0-9A-F]+))?$")


def dump_nodes(text):
    """(nodes, problems) from the output of `dicomtk dump --hex` for one file."""
    roots, problems = [], []
    containers = {0: roots}  # indentation of element lines -> the list they go to
    last = {}                # indentation -> the element printed last there
    for line in text.splitlines():
        stripped = line.lstrip(" ")
        indent = len(line) - len(stripped)
        if stripped.startswith("item "):
            owner = last.get(indent - 2)
            if owner is None:
                problems.append(f"item line without its element: {line[:60]!r}")
                continue
            if owner.items is None:
                owner.items = []
            owner.items.append([])
            containers[indent + 2] = owner.items[-1]
            for deeper in [key for key in last if key > indent]:
                del last[deeper]
            continue
        if stripped.startswith(("offset table ", "fragment ")):
            continue
        match = DUMP_LINE.match(stripped)
        if match is None or indent not in containers:
            problems.append(f"unreadable dump line: {line[:80]!r}")
            continue
        tag = int(match.group(1) + match.group(2), 16)
        vr = None if match.group(3) == "--" else match.group(3)
        node = Node(tag, vr, int(match.group(4)), bytes.fromhex(match.group(5) or ""), None)
        containers[indent].append(node)
        last[indent] = node
    return roots, problems


# --------------------------------------------------------------------------
# Differences

def by_tag(nodes):
    found = {}
    for node in nodes:
        if not is_group_length(node.tag):
            found.setdefault(node.tag, []).append(node)
    return found


def items_of(node):
    """A node's items; a raw value is split when it parses as items (implicit VR, as the toolkit does)."""
    if node.items is not None:
        return node.items
    if not node.value:
        return []
    return parse_items(node.value, True, node.little)


def describe_node(node):
    if node.items is not None:
        return f"{len(node.items)} items"
    return f"length {node.length}, {hex_preview(node.value)}"


def node_differences(want, have, label, names, written):
    expected_name, got_name = names
    lines = []
    sequence = want.items is not None or have.items is not None
    if want.vr is not None and (have.vr is not None or not written) and have.vr != want.vr and not (
            sequence and want.vr in SEQUENCE_VRS and have.vr in SEQUENCE_VRS):
        lines.append(f"{label} VR: {expected_name} {want.vr}, {got_name} {have.vr or '--'}")
    if sequence:
        want_items, have_items = items_of(want), items_of(have)
        if want_items is None or have_items is None:
            lines.append(f"{label}: {expected_name} {describe_node(want)}, {got_name} {describe_node(have)}")
        elif len(want_items) != len(have_items):
            lines.append(f"{label}: {expected_name} {len(want_items)} items, {got_name} {len(have_items)}")
        else:
            for index, (first, second) in enumerate(zip(want_items, have_items)):
                lines += tree_differences(first, second, f"{label} item {index + 1} ", names, written)
        return lines
    if (want.length, want.value) != (have.length, have.value) and want.value[:4] == have.value[:4] == ITEM_TAG:
        # A sequence neither side's reader knew as one (a private tag in
        # implicit VR), encoded differently: compared item by item.
        want_items, have_items = items_of(want), items_of(have)
        if want_items is not None and have_items is not None:
            return node_differences(Node(want.tag, want.vr, None, None, want_items),
                                    Node(have.tag, have.vr, None, None, have_items), label, names, written)
    if written and want.length % 2 == 1 and have.length == want.length + 1 and have.value == want.value + b"\0":
        return lines
    if want.length != have.length:
        lines.append(f"{label} length: {expected_name} {want.length}, {got_name} {have.length}")
    elif want.value != have.value:
        first = next((index for index, (a, b) in enumerate(zip(want.value, have.value)) if a != b),
                     min(len(want.value), len(have.value)))
        lines.append(f"{label} value differs from byte {first}: {expected_name} {hex_preview(want.value[first:])}, "
                     f"{got_name} {hex_preview(have.value[first:])}")
    return lines


def tree_differences(expected, got, where="", names=("pydicom", "dicomtk"), written=False):
    """Differences between two lists of nodes, at every depth, described for a reader.

    VRs are compared where the expected side has one. With written (a file
    compared with the one a writer made from it) they are compared where
    both sides have one, and an odd length may come back one longer, with a
    0x00 pad byte.
    """
    lines = []
    want, have = by_tag(expected), by_tag(got)
    for tag in sorted(set(want) | set(have)):
        label = where + tag_text(tag)
        if tag not in have:
            lines.append(f"{label} missing in {names[1]} ({names[0]}: {describe_node(want[tag][0])})")
        elif tag not in want:
            lines.append(f"{label} only in {names[1]} ({describe_node(have[tag][0])})")
        elif len(want[tag]) != len(have[tag]):
            lines.append(f"{label} appears {len(want[tag])} times in {names[0]}, {len(have[tag])} in {names[1]}")
        else:
            for first, second in zip(want[tag], have[tag]):
                lines += node_differences(first, second, label, names, written)
    return lines


def count_nodes(nodes):
    """Elements at every depth, group lengths left out."""
    total = 0
    for node in nodes:
        if is_group_length(node.tag):
            continue
        total += 1
        for item in node.items or []:
            total += count_nodes(item)
    return total


def deepest(nodes, depth=0):
    found = depth
    for node in nodes:
        for item in node.items or []:
            found = max(found, deepest(item, depth + 1))
    return found
