"""factsift: a fact-checking summariser on top of chat-completion services (see factsift.factsift)."""
