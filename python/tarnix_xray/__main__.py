"""`python -m tarnix_xray`: the same command as `tarnix-xray`."""

import sys

from .cli import main

sys.exit(main())
