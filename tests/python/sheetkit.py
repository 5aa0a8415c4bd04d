"""Byte-level sheet packing for tests.

A sheet is a 6-byte header ("TWC0", version byte, section count), a table of
contents of 17-byte entries (id u8, offset u64, length u64) right after it,
and the section bytes anywhere after that; the file is at least 295 bytes.
All integers are little-endian.

`pack` writes exactly what it is told, so tests can build broken containers
as easily as good ones: any version byte or count byte, any TOC order,
explicit offsets and lengths that need not match the data, unknown or
duplicated ids. `minimal_sections` / `minimal_sheet` give the smallest sheet
the engine accepts, as a starting point to change one thing at a time.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass
from typing import Iterable, Sequence

MAGIC = b"TWC0"
HEADER_SIZE = 6
TOC_ENTRY_SIZE = 17
MIN_FILE_SIZE = HEADER_SIZE + 17 * TOC_ENTRY_SIZE  # 295

# Section ids.
COMMUNES_FST = 1
COMMUNES_META = 2
COMMUNE_POSTINGS = 3
STREETS_FST = 4
STREETS_META = 5
HOUSES = 6
NAMES = 7
HOUSE_SUFFIXES = 8
REVERSE_GRID = 9
SEC_PARSER = 10
SEC_RANK = 11
WORDS_FST = 12
WORD_POSTINGS = 13
COMMUNE_COORDS = 14
SEC_RULES = 15
UNUSED_16 = 16
META = 17


@dataclass(frozen=True)
class Section:
    """One TOC entry and the bytes it points at.

    `offset=None` places `data` right after the previous section's data;
    otherwise `data` is written at `offset` (the file grows as needed, and
    later sections may overwrite earlier ones). `length=None` records
    len(data) in the TOC; any other value is recorded as given, whatever the
    data. An entry with no data and an explicit offset/length only writes the
    TOC entry.
    """

    id: int
    data: bytes = b""
    offset: int | None = None
    length: int | None = None


def pack(
    sections: Sequence[Section],
    *,
    version: int = 7,
    count: int | None = None,
    toc_order: Sequence[int] | None = None,
    magic: bytes = MAGIC,
    min_size: int = MIN_FILE_SIZE,
) -> bytes:
    """Container bytes for `sections`.

    Data is laid out in the order of `sections`, starting right after the
    TOC. The TOC lists the entries in that order too, unless `toc_order`
    gives a permutation (indices into `sections`). `count` overrides the
    section count byte only; the TOC still holds one entry per section. The
    file is zero-padded at the end to `min_size` bytes (0: no padding).
    """
    if toc_order is None:
        toc_order = range(len(sections))
    toc_order = list(toc_order)
    data_start = HEADER_SIZE + TOC_ENTRY_SIZE * len(toc_order)

    out = bytearray(data_start)
    cursor = data_start
    placed: list[tuple[int, int]] = []
    for s in sections:
        offset = cursor if s.offset is None else s.offset
        end = offset + len(s.data)
        if len(out) < end:
            out.extend(bytes(end - len(out)))
        out[offset:end] = s.data
        if s.offset is None:
            cursor = end
        else:
            cursor = max(cursor, end)
        placed.append((offset, len(s.data) if s.length is None else s.length))

    out[0:4] = magic
    out[4] = version & 0xFF
    out[5] = (len(toc_order) if count is None else count) & 0xFF
    for slot, i in enumerate(toc_order):
        offset, length = placed[i]
        struct.pack_into(
            "<BQQ", out, HEADER_SIZE + TOC_ENTRY_SIZE * slot, sections[i].id, offset, length
        )
    if len(out) < min_size:
        out.extend(bytes(min_size - len(out)))
    return bytes(out)


# --- section contents -------------------------------------------------------


def u32(v: int) -> bytes:
    return struct.pack("<I", v)


def i32(v: int) -> bytes:
    return struct.pack("<i", v)


def varint(v: int) -> bytes:
    """Unsigned LEB128."""
    out = bytearray()
    while True:
        byte = v & 0x7F
        v >>= 7
        if v:
            out.append(byte | 0x80)
        else:
            out.append(byte)
            return bytes(out)


def zigzag(v: int) -> int:
    return 2 * v if v >= 0 else -2 * v - 1


def e7(degrees: float) -> int:
    return round(degrees * 1e7)


def empty_fst() -> bytes:
    """A valid version-3 FST map without any key (39 bytes).

    Its root is a node with no transitions that is not final: state byte 0
    (any-transitions kind, not final, count in a separate byte), count byte
    0, pack-sizes byte 0, laid out downwards from the root address 18.
    """
    node = bytes([0x00, 0x00, 0x00])  # pack sizes, count, state (lowest first)
    root = 16 + len(node) - 1
    return struct.pack("<QQ", 3, 0) + node + struct.pack("<QQI", 0, root, 0)


def empty_root_fst() -> bytes:
    """The smallest map the format allows (36 bytes): version 3, map type 0,
    key count 0, root address 0, checksum 0.

    Address 0 is the empty final node, so this map holds exactly one key,
    the empty key, with value 0 -- whatever its footer's key count says.
    """
    return struct.pack("<QQQQI", 3, 0, 0, 0, 0)


def _utf8(s: str | bytes) -> bytes:
    return s if isinstance(s, bytes) else s.encode("utf-8")


def meta_section(pairs: Iterable[tuple[str | bytes, str | bytes]]) -> bytes:
    """`meta` bytes: u32 pair count, then per pair u16 key length, key,
    u32 value length, value. Duplicates and order are kept as given."""
    pairs = list(pairs)
    out = bytearray(u32(len(pairs)))
    for key, value in pairs:
        k, v = _utf8(key), _utf8(value)
        out += struct.pack("<H", len(k)) + k + u32(len(v)) + v
    return bytes(out)


class StringPool:
    """Builds a `names` section: each string is a length byte and its bytes,
    addressed by the offset of the length byte."""

    def __init__(self) -> None:
        self.data = bytearray()

    def add(self, s: str | bytes) -> int:
        b = _utf8(s)
        if len(b) > 255:
            raise ValueError("pool strings hold at most 255 bytes")
        offset = len(self.data)
        self.data += bytes([len(b)]) + b
        return offset


def commune_record(code: str, name_off: int, prominence: int = 0) -> bytes:
    c = code.encode("utf-8")
    if len(c) > 8:
        raise ValueError("a commune code holds at most 8 bytes")
    return c.ljust(8, b"\0") + u32(name_off) + u32(prominence)


def street_record(
    *,
    lat: float,
    lon: float,
    commune_id: int,
    name_off: int,
    houses_off: int,
    house_count: int,
    postcode_num: int = 0,
    postcode_ref: int = 0,
) -> bytes:
    return struct.pack(
        "<iiIIIQII",
        e7(lat),
        e7(lon),
        commune_id,
        postcode_num,
        name_off,
        houses_off,
        house_count,
        postcode_ref,
    )


def house_record(number: int, suffix_id: int = 0, dlat_e7: int = 0, dlon_e7: int = 0) -> bytes:
    """One house record without a postcode slot; the number is the stored
    value (absolute for a block's first house, a delta after that)."""
    return varint(number) + varint(suffix_id) + varint(zigzag(dlat_e7)) + varint(zigzag(dlon_e7))


# --- the smallest valid sheet -------------------------------------------------

MINIMAL_COMMUNE = "Testville"
MINIMAL_STREET = "Main Street"
MINIMAL_POINT = (48.5, 2.25)


def minimal_sections(meta: Iterable[tuple[str | bytes, str | bytes]] | None = None) -> list[Section]:
    """Sections of the smallest sheet that opens: one commune (code "1",
    named MINIMAL_COMMUNE, at MINIMAL_POINT), one street (MINIMAL_STREET)
    with house number 1, empty FST maps, an empty suffix list, an empty
    reverse grid and an empty `word_postings`. `meta=None` leaves the `meta`
    section out; a list of pairs adds it.

    Sections come in id order; replace one with `with_section` to break or
    change it.
    """
    pool = StringPool()
    commune_name = pool.add(MINIMAL_COMMUNE)
    street_name = pool.add(MINIMAL_STREET)
    lat, lon = MINIMAL_POINT

    sections = [
        Section(COMMUNES_FST, empty_fst()),
        Section(COMMUNES_META, commune_record("1", commune_name, prominence=1)),
        Section(COMMUNE_POSTINGS, u32(0)),
        Section(STREETS_FST, empty_fst()),
        Section(
            STREETS_META,
            street_record(
                lat=lat, lon=lon, commune_id=0, name_off=street_name, houses_off=0, house_count=1
            ),
        ),
        Section(HOUSES, house_record(1)),
        Section(NAMES, bytes(pool.data)),
        Section(HOUSE_SUFFIXES, u32(0)),
        Section(REVERSE_GRID, u32(0)),
        Section(WORDS_FST, empty_fst()),
        Section(WORD_POSTINGS, b""),
        Section(COMMUNE_COORDS, i32(e7(lat)) + i32(e7(lon))),
    ]
    if meta is not None:
        sections.append(Section(META, meta_section(meta)))
    return sections


def with_section(sections: Sequence[Section], section: Section) -> list[Section]:
    """`sections` with every entry of `section.id` replaced by `section` (or
    `section` appended when the id is absent)."""
    out = [section if s.id == section.id else s for s in sections]
    if all(s.id != section.id for s in sections):
        out.append(section)
    return out


def without_section(sections: Sequence[Section], section_id: int) -> list[Section]:
    return [s for s in sections if s.id != section_id]


def minimal_sheet(
    meta: Iterable[tuple[str | bytes, str | bytes]] | None = None, version: int = 7
) -> bytes:
    """The bytes of the smallest valid sheet (see `minimal_sections`)."""
    return pack(minimal_sections(meta), version=version)

