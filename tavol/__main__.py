"""python -m tavol: the tavol command."""

import sys

from tavol.cli import main

sys.exit(main())
