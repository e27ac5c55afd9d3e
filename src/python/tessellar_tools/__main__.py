"""The command line: python -m tessellar_tools --help."""

import sys

from tessellar_tools._cli import main

sys.exit(main())
