"""`python -m quorvane_tools` runs the `quorvane` command."""
import sys

from .cli import main

sys.exit(main())
