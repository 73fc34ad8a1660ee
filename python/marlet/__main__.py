"""``python -m marlet``: the ``marlet`` command."""

import sys

from ._cli import main

sys.exit(main())
