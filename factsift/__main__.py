import gc

if __name__ == "__main__":
    # Imported here, not above: a --processes worker imports this module again (as
    # __mp_main__) and needs none of the command line.
    from factsift.cli import main

    # What is loaded by now lives as long as the run: leave it out of every collection.
    gc.freeze()
    raise SystemExit(main())
