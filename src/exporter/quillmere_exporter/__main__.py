"""python -m quillmere_exporter: the same program as quillmere-exporter."""

import sys

from quillmere_exporter import main

sys.exit(main())
