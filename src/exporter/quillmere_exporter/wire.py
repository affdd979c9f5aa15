"""The remote-write message, encoded by hand: the few protobuf fields of a
WriteRequest that a push needs, and the snappy block compression of the body
(through cramjam, the optional extra `push`).

What it promises:
- series() is one TimeSeries holding one sample, already framed as field 1
  of a WriteRequest; metadata() is one MetricMetadata framed as field 3.
  Protobuf merges concatenated messages by appending repeated fields, so any
  concatenation of these pieces, in any number, is itself a valid
  WriteRequest: a batch is such a concatenation, and so is a request made of
  several batches.
- labels() encodes a label set once, so that a series seen at every pass is
  not re-encoded each time; the caller passes the pairs sorted by name, as
  receivers require, and without empty values (an empty value is no label).
- Values are IEEE doubles (NaN and infinities included), timestamps
  milliseconds since the epoch as int64 (negative ones as protobuf writes
  them: ten bytes of two's complement).
- Without cramjam this module still imports; MISSING_SNAPPY then says why,
  and compress() and decompress() may not be used.

Why not the protobuf runtime: a push needs a dozen fields of four small
messages and three wire types, about 40 lines here, while the runtime is a
large dependency of its own (a compiled extension, or a slow pure-Python
fallback on the boards) with generated code to keep in step. The encoder is
checked by a round trip against an independent decoder in the tests, and by
Prometheus itself.
"""

from __future__ import annotations

import struct
from typing import Optional, Sequence, Tuple

try:
    # cramjam ships its types from some release on; the releases older
    # Pythons get have none.
    import cramjam  # type: ignore[import-untyped,unused-ignore]

    MISSING_SNAPPY: Optional[str] = None
except ImportError as error:  # the optional extra is absent: the command line says how to install it
    MISSING_SNAPPY = str(error)

# MetricMetadata.MetricType
METRIC_TYPES = {"counter": 1, "gauge": 2}

_DOUBLE = struct.Struct("<d")


def varint(number: int) -> bytes:
    """A protobuf varint; a negative number as its 64-bit two's complement."""
    number &= 0xFFFF_FFFF_FFFF_FFFF
    out = bytearray()
    while number > 0x7F:
        out.append(number & 0x7F | 0x80)
        number >>= 7
    out.append(number)
    return bytes(out)


def _delimited(tag: bytes, payload: bytes) -> bytes:
    return tag + varint(len(payload)) + payload


def labels(pairs: Sequence[Tuple[str, str]]) -> bytes:
    """The `labels` fields (1) of a TimeSeries: one Label {name = 1; value = 2} per pair."""
    return b"".join(_delimited(b"\x0a", _delimited(b"\x0a", name.encode()) + _delimited(b"\x12", value.encode()))
                    for name, value in pairs)


def series(encoded_labels: bytes, value: float, timestamp_ms: int) -> bytes:
    """WriteRequest.timeseries (1): TimeSeries {labels = 1; samples = 2} with
    one Sample {double value = 1; int64 timestamp = 2}."""
    sample = b"\x09" + _DOUBLE.pack(value) + b"\x10" + varint(timestamp_ms)
    return _delimited(b"\x0a", encoded_labels + _delimited(b"\x12", sample))


def metadata(kind: str, family: str, help_text: str) -> bytes:
    """WriteRequest.metadata (3): MetricMetadata {type = 1; metric_family_name = 2; help = 4}."""
    body = b"\x08" + varint(METRIC_TYPES.get(kind, 0)) + _delimited(b"\x12", family.encode())
    return _delimited(b"\x1a", body + _delimited(b"\x22", help_text.encode()))


def compress(data: bytes) -> bytes:
    """Snappy's block format (not its framing format), as remote write sends it."""
    return bytes(cramjam.snappy.compress_raw(data))


def decompress(data: bytes) -> bytes:
    return bytes(cramjam.snappy.decompress_raw(data))
