"""``python -m tallow_forceatlas2``: the ``tallow-fa2`` command."""

import sys

from tallow_forceatlas2.cli import main

if __name__ == "__main__":
    sys.exit(main())
