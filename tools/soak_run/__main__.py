import sys

from .checker import main

sys.exit(main())
