import sys

from factsift.devserver import main

if __name__ == "__main__":
    sys.exit(main())
