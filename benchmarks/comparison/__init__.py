"""Support modules of benchmarks/compare.py: problems, tools, the child runner, the judge and
the report."""
