"""`python -m ashvigil_monitor` is the `ashvigil` command."""

import sys

from ashvigil_monitor.cli import main

sys.exit(main())
