"""Runs every benchmark script in bench/ (bench_*.py, each with a run() function) in one process."""
import importlib
import pathlib
import sys

here = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(here))

if __name__ == "__main__":
    chosen = sys.argv[1:]
    for path in sorted(here.glob("bench_*.py")):
        if chosen and not any(c in path.stem for c in chosen):
            continue
        importlib.import_module(path.stem).run()
