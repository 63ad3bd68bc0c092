"""`python -m tarnwick_cli` runs the same command as the `tarnwick` console script."""

from tarnwick_cli.main import main

raise SystemExit(main())
