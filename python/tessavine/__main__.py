import sys

from tessavine.cli import main

sys.exit(main())
