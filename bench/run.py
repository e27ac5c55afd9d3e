"""Runs every bench/bench_*.py in turn, each in its own interpreter, passing
this script's arguments through. Exits non-zero if any of them failed."""

import pathlib
import subprocess
import sys


def main(arguments):
    failed = []
    for script in sorted(pathlib.Path(__file__).resolve().parent.glob("bench_*.py")):
        print(f"== {script.name}", flush=True)
        if subprocess.run([sys.executable, str(script), *arguments]).returncode != 0:
            failed.append(script.name)
        print(flush=True)
    if failed:
        print("failed: " + ", ".join(failed), file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
