"""Metric families in Prometheus's exposition formats, through
prometheus_client (the optional extra `exporter`).

What it promises:
- to_metrics() turns families.Family records into prometheus_client families
  with the same names, types, help, labels and values.
- make_registry(read) is a registry that calls `read` once per collection
  (one per textfile write, or per render of one scrape), and reads the
  exporter's own figures with it; with textfile=True it adds the time of
  the collection as the textfile write's time.
- render() gives the body and headers one scrape asks for: the text format,
  or OpenMetrics when its Accept header prefers that; gzip when its
  Accept-Encoding takes it; only the samples named by its name[] parameters
  when it gives any.
- Without prometheus_client this module still imports; MISSING_CLIENT then
  says why, and nothing else here may be used.
"""

from __future__ import annotations

import gzip
import time
from typing import TYPE_CHECKING, Callable, Collection, Iterator, List, Optional, Sequence, Tuple

from .families import COUNTER, Family, families
from .process import read_own

if TYPE_CHECKING:  # the TypedDicts exist only in the stub
    from quillmere_sampler import Counters

try:
    from prometheus_client import CollectorRegistry
    from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily, Metric
    from prometheus_client.exposition import choose_encoder, generate_latest

    MISSING_CLIENT: Optional[str] = None
except ImportError as error:  # the optional extra is absent: the command line says how to install it
    MISSING_CLIENT = str(error)

__all__ = ["MISSING_CLIENT", "generate_latest", "make_registry", "render", "to_metrics"]


def to_metrics(records: Sequence[Family]) -> List[Metric]:
    out: List[Metric] = []
    for record in records:
        kind = CounterMetricFamily if record.kind == COUNTER else GaugeMetricFamily
        metric = kind(record.name, record.help, labels=list(record.labels))
        for labels, value in record.samples:
            metric.add_metric(list(labels), value)
        out.append(metric)
    return out


class CountersCollector:
    """One read per collect() call; with `names`, only the samples so named."""

    def __init__(self, read: Callable[[], Counters], names: Collection[str] = (), textfile: bool = False) -> None:
        self._read = read
        self._names = frozenset(names)
        self._textfile = textfile

    def describe(self) -> List[Metric]:
        # Registration must not read the sources: the families are dynamic.
        return []

    def collect(self) -> Iterator[Metric]:
        counters = self._read()
        for metric in to_metrics(families(counters, read_own(), time.time() if self._textfile else None)):
            if self._names:
                samples = [sample for sample in metric.samples if sample.name in self._names]
                if not samples:
                    continue
                metric = Metric(metric.name, metric.documentation, metric.type, metric.unit)
                metric.samples = samples
            yield metric


def make_registry(read: Callable[[], Counters], names: Collection[str] = (),
                  textfile: bool = False) -> CollectorRegistry:
    registry = CollectorRegistry(auto_describe=False)
    registry.register(CountersCollector(read, names, textfile))
    return registry


def render(counters: Counters, accept: str, accept_encoding: str,
           names: Collection[str] = ()) -> Tuple[bytes, List[Tuple[str, str]]]:
    """(body, headers) of one scrape of `counters`."""
    encoder, content_type = choose_encoder(accept)
    body = encoder(make_registry(lambda: counters, names))
    headers = [("Content-Type", content_type)]
    if any(part.split(";")[0].strip().lower() == "gzip" for part in accept_encoding.split(",")):
        body = gzip.compress(body)
        headers.append(("Content-Encoding", "gzip"))
    return body, headers
