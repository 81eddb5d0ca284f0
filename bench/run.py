"""Runs every benchmark of this folder: python bench/run.py [workload ...]"""
import importlib
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

if __name__ == "__main__":
    for path in sorted(HERE.glob("bench_*.py")):
        print(f"== {path.stem}")
        importlib.import_module(path.stem).main(sys.argv[1:] or ["masw", "das"])
        print()
