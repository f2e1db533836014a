import sys

from vexatvm_cli.main import main

sys.exit(main())
