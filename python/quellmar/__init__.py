"""`Quellmar` — LLM-native database kernel for persistent KV cache memory.

The engine is the extension module ``quellmar._native``.
"""
