"""Types of the `tarnwik` extension module.

The module exports only `Geocoder`. `GeocodeHit`, `ReverseHit` and the
precision literals exist for type checkers alone: import them under
`if typing.TYPE_CHECKING:`.
"""
from os import PathLike
from typing import (Literal, NotRequired, Self, Sequence, SupportsFloat, SupportsIndex, TypedDict, final,
                    type_check_only)

_Path = str | bytes | PathLike[str] | PathLike[bytes]
_Float = SupportsFloat | SupportsIndex

ForwardPrecision = Literal["house", "interp", "near", "street", "city"]
ReversePrecision = Literal["house", "near", "approximate"]

# Keys are listed in the order the module inserts them; a key marked
# NotRequired is absent (never None) when the hit has no such value.

@type_check_only
class GeocodeHit(TypedDict):
    lat: float
    lon: float
    precision: ForwardPrecision
    score: float
    street: str
    housenumber: NotRequired[str]
    commune: str
    postcode: str  # "" when unknown
    confidence: float
    flags: NotRequired[list[str]]  # present only when not empty
    region: NotRequired[str]

@type_check_only
class ReverseHit(TypedDict):
    lat: float
    lon: float
    precision: ReversePrecision
    score: float
    street: str
    housenumber: str  # every house found has one
    commune: str
    postcode: str
    confidence: float
    region: NotRequired[str]  # reverse hits carry no flags
    distance_m: float  # rounded to 0.1 m

@final
class Geocoder:
    """Single-country geocoder: opens an index file (mmap, effectively instant).

    Raises OSError when a sheet cannot be opened and ValueError when the POI
    sheet does not belong with the address sheet.
    """

    def __new__(cls, index_path: _Path, poi: _Path | None = None) -> Self: ...
    def geocode(self, q: str, k: SupportsIndex = 10) -> list[GeocodeHit]:
        """Single query: up to `k` hits, best first; an empty list means no match."""
    def geocode_many(self, queries: Sequence[str], k: SupportsIndex = 1) -> list[list[GeocodeHit]]:
        """One list of up to `k` hits per query, in input order, answered on a
        worker pool; raises KeyboardInterrupt between chunks of 1024 queries."""
    def reverse(self, lat: _Float, lon: _Float, k: SupportsIndex = 3) -> list[ReverseHit]:
        """Nearest houses to a point, each with "distance_m"; ValueError for
        coordinates out of range or not finite."""
