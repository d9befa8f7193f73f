"""Benchmarks and the generators of their tokenizer fixtures."""
