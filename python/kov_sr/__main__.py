"""``python -m kov_sr``: the same command line as ``kov-sr``."""

import sys

from kov_sr.cli import main

if __name__ == "__main__":
    sys.exit(main())
