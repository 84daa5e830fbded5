import gc

from factsift.cli import main

if __name__ == "__main__":
    # What is loaded by now lives as long as the run: leave it out of every collection.
    gc.freeze()
    raise SystemExit(main())
