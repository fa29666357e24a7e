import sys

from corvalink.tools.serve.cli import main

if __name__ == "__main__":
    sys.exit(main())
