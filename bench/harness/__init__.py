"""The parts of bench/run, a module for each job; bench/run puts them
together."""
