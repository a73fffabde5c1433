"""``python -m zelk_mcf``: the command line."""

import sys

from .cli import main

sys.exit(main())
