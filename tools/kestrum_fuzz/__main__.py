import sys

from kestrum_fuzz.fuzz_api import main

sys.exit(main())
