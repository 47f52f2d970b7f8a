"""``python -m sorvane``: the same command as the ``sorvane`` console script."""

import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
