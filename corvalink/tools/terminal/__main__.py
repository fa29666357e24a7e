import sys

from corvalink.tools.terminal.cli import main

if __name__ == "__main__":
    sys.exit(main())
