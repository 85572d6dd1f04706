"""python -m quennel: the command line."""

import sys

from quennel.cli import main

sys.exit(main())
