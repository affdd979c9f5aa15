"""quillmere-exporter: this host's counters for Prometheus, served over HTTP,
written as a textfile for node_exporter's textfile collector, or pushed to a
remote-write receiver.

The package, one idea per module:
- families: the catalogue of metric families and the samples of one
  quillmere_sampler.read_counters() result (plain data, no I/O);
- exposition: those families in Prometheus's text formats (prometheus_client);
- server: a small HTTP server that never waits on a client;
- textfile: atomic writes of the text format;
- push: the push mode's passes; push_options: its options, credentials and
  TLS; sender: the connection to the receiver and the retries; spool: the
  queue, in memory or on disk; wire: the remote-write message and its
  compression;
- cli: the command line, which joins the others.
The server and the families know nothing of each other.

What the program promises: every scrape is answered from a read_counters()
pass that began after it arrived (scrapes that arrive while a pass runs share
the next one), each textfile write takes a pass of its own, and nothing is
sampled in between. Since-boot counters are exposed as counters, so that
rate() gives true rates at any scrape interval; everything else is a gauge. A
source that cannot be read has no series at all (never a made-up 0), and
quillmere_source_up{source} says which sources were read. Device and zone
names are arbitrary bytes on Linux (the sampler decodes them with
errors="surrogateescape"); a label value must be UTF-8, so every byte that is
not part of valid UTF-8 is written as the four characters \\xNN.
prometheus_client is the optional extra `exporter`; without it the program
says how to install it and exits 1.
"""

# The names callers used before the package was split. The function
# families.families is not among them: its name would hide the module.
from .cli import main, parser
from .exposition import make_registry
from .families import label_value, metric_list
from .textfile import write_textfile

__all__ = ["label_value", "main", "make_registry", "metric_list", "parser", "write_textfile"]
