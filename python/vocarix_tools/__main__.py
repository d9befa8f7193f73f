import sys

from vocarix_tools.cli.app import main

sys.exit(main())
