"""factsift: a fact-checking summariser on top of chat-completion services (see factsift.factsift)."""

__version__ = "1.0.0"
