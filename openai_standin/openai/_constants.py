"""The retry policy's numbers, where openai 3 keeps them (factsift's client layer reads
MAX_RETRY_AFTER_DELAY from here, as from the real package)."""

INITIAL_RETRY_DELAY = 0.5
MAX_RETRY_DELAY = 8.0
MAX_RETRY_AFTER_DELAY = 2 * 60.0
