"""Serves this host's metrics to Prometheus over HTTP: the installed program
quillmere-exporter, started from the examples like the other scripts here.

    pip install '.[exporter]'          # in the source tree, or a wheel file with [exporter]
    python examples/prometheus_exporter.py [--address 127.0.0.1] [--port 9864]
    quillmere-exporter --help          # the same program: flags and every metric explained

The program lives in the module quillmere_exporter, installed beside the
extensions; see "Monitoring many boards" in the README.
"""

import sys

from quillmere_exporter import main

if __name__ == "__main__":
    sys.exit(main())
