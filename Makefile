# Everything a fresh machine needs: `make test` and `make demo` set themselves up.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(VENV)/bin/pip
ROM ?=
JOBS ?= 2
# The module is built profile-guided (CMake option VELKORA_PGO): a training run at
# configure time, redone after every edit to the core. PGO=OFF builds it plain.
PGO ?= ON
PIP_BUILD = $(PIP) install -q --no-build-isolation --no-deps -C cmake.define.VELKORA_PGO=$(PGO)

# The first Python 3.12 found: on PATH, or under pyenv.
PYTHON312 ?= $(shell for p in python3.12 $$HOME/.pyenv/versions/3.12*/bin/python3.12 /usr/local/bin/python3.12 /usr/bin/python3.12; do \
	  $$p -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' 2>/dev/null && { echo $$p; break; }; done)

.PHONY: all venv system-deps module cpptest pytest test wheel wheel-check demo demo-rom bench sanitize fuzz fuzz-readers clang-deps format-deps lint format clean

all: module

system-deps:
	@if [ ! -f /usr/include/gtest/gtest.h ]; then \
	  echo "Installing GoogleTest (libgtest-dev) with apt"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null; \
	fi

# `make demo` sets up only the build tools and NumPy (requirements-demo.txt); every other
# target adds the rest of requirements-dev.txt (test, training and tool libraries, torch).
$(VENV)/.stamp-demo: pyproject.toml requirements-demo.txt
	@test -n "$(PYTHON312)" || { echo "Python 3.12 not found"; exit 1; }
	$(PYTHON312) -m venv $(VENV)
	$(PIP) install -q --upgrade pip
	$(PIP) install -q -r requirements-demo.txt
	touch $@

$(VENV)/.stamp: $(VENV)/.stamp-demo requirements-dev.txt
	$(PIP) install -q -r requirements-dev.txt
	touch $@

venv: $(VENV)/.stamp

# Builds the extension module into the virtual environment (incremental).
module: venv
	$(PIP_BUILD) .

cpptest: venv system-deps
	cmake -S . -B build/cpp -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DVELKORA_BUILD_MODULE=OFF -DVELKORA_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build build/cpp -j $(JOBS)
	cd build/cpp && ctest --output-on-failure -j $(JOBS)

pytest: module
	$(PY) -m pytest -q tests/python

test: cpptest pytest

# The release: an sdist and a manylinux wheel in dist/. The wheel is built from the source tree
# in build/<wheel tag>, the folder `make module` builds in, so after `make test` (same PGO) only
# the packaging is redone; auditwheel then gives it the manylinux tag this machine's glibc and
# libstdc++ allow. The demo cartridges are assembled into it: installing needs no assembler.
# The C++ runtime stays shared: linked in (-static-libstdc++ -static-libgcc) it brings
# arc4random (glibc 2.36) and _dl_find_object (2.35), a narrower tag than GLIBCXX_3.4.30's 2_35.
wheel: venv
	rm -rf dist build/wheel
	$(PY) -m build --no-isolation --sdist --outdir dist .
	$(PY) -m build --no-isolation --wheel --outdir build/wheel -C cmake.define.VELKORA_PGO=$(PGO) .
	PATH=$(abspath $(VENV))/bin:$$PATH $(VENV)/bin/auditwheel repair --wheel-dir dist build/wheel/*.whl
	$(VENV)/bin/auditwheel show dist/*.whl

# The wheel installed into a fresh environment with no compiler on PATH, then the demo,
# velkora/Demo-v0 and velkora-record run from it.
wheel-check: wheel
	PYTHON312=$(PYTHON312) tools/check_wheel.sh dist/*.whl

# The demo cartridge, assembled from demo/ (no ROM image is kept in the repository).
DEMO_ROM := build/velkora-demo.nes

$(DEMO_ROM): demo/velkora-demo.oph demo/build_demo.py $(VENV)/.stamp-demo
	$(PY) demo/build_demo.py $@

demo-rom: $(DEMO_ROM)

# Without ROM= the demo runs the demo cartridge. Only what it needs is installed.
demo: $(VENV)/.stamp-demo
	$(PIP_BUILD) .
	$(PY) examples/demo.py $(ROM)

# Frames per second of headless runFrame + getImg loops, then instructions per frame.
# Then heap allocations per frame, snapshot sizes and costs (through Python, then
# the core alone) with a search-shaped loop, the run thread's share of a core, the
# batch's and the environments' frames per second, the training adapters' steps per
# second and Python time per step, one RLlib env runner's steps per second (native vector
# env against RLlib's own vectorisation), and synthetic cartridges of every board.
# AGAINST=DIR adds a column for the velkora module in DIR (an older build).
AGAINST ?=
BENCH_ROMS = $(wildcard ../shared/roms/demos/*.nes) $(DEMO_ROM)
bench: module demo-rom
	$(PY) bench/bench.py $(if $(AGAINST),--against $(AGAINST))
	@command -v valgrind >/dev/null || { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq valgrind >/dev/null; }
	@# The same module (profile-guided too, unless PGO=OFF) with its symbols kept, for the split by function.
	$(PIP_BUILD) --upgrade --target build/bench-site \
	  -C install.strip=false -C cmake.define.CMAKE_STRIP=/bin/true -C build-dir=build/bench-wheel .
	$(PY) bench/callgrind.py --site build/bench-site
	cmake -S . -B build/bench -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DVELKORA_BUILD_MODULE=OFF -DVELKORA_BUILD_BENCH=ON >/dev/null
	cmake --build build/bench --target alloc_bench pool_bench snapshot_bench frames_bench
	$(PY) bench/callgrind.py --core build/bench/frames_bench --timing design --timing hardware $(BENCH_ROMS)
	build/bench/alloc_bench
	build/bench/pool_bench
	$(PY) bench/snapshot_bench.py
	taskset -c $$(($$(nproc) - 1)) build/bench/snapshot_bench --no-search $(BENCH_ROMS) 2>/dev/null | grep -v '^iNES\|^[0-9]*$$\|Battery' || true
	$(PY) bench/run_thread_cpu.py --seconds 3
	$(PY) bench/batch_bench.py
	$(PY) bench/env_bench.py
	$(PY) bench/train_bench.py
	$(PY) bench/rllib_bench.py
	$(PY) bench/boards_bench.py

# --- Hardening: sanitizer builds and the image fuzzer, both with Debian's clang ---
FUZZ_SECONDS ?= 60
SANITIZE_CMAKE = cmake -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja -DCMAKE_CXX_COMPILER=clang++ \
	  -DVELKORA_BUILD_MODULE=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -gline-tables-only"

clang-deps:
	@if ! command -v clang++ >/dev/null || ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then \
	  echo "Installing clang and its sanitizer runtimes (clang, libclang-rt-14-dev) with apt"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang libclang-rt-14-dev >/dev/null; \
	fi

# Every C++ test under AddressSanitizer + UndefinedBehaviorSanitizer, then the
# run thread, the worker pool and the batch under ThreadSanitizer; any report
# fails the target.
sanitize: venv system-deps clang-deps
	$(SANITIZE_CMAKE) -S . -B build/asan -DVELKORA_BUILD_TESTS=ON -DVELKORA_SANITIZE=address,undefined >/dev/null
	cmake --build build/asan -j $(JOBS)
	cd build/asan && ASAN_OPTIONS=abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j $(JOBS)
	$(SANITIZE_CMAKE) -S . -B build/tsan -DVELKORA_BUILD_TESTS=ON -DVELKORA_SANITIZE=thread >/dev/null
	cmake --build build/tsan -j $(JOBS) --target test_run_thread test_worker_pool test_batch test_env_batch
	for t in test_run_thread test_worker_pool test_batch test_env_batch; do TSAN_OPTIONS=halt_on_error=1 build/tsan/$$t || exit 1; done

# Bounded libFuzzer runs (FUZZ_SECONDS each, default 60) over the image loader
# and over restore; the corpora grow in build/fuzz/corpus and
# build/fuzz/restore-corpus, crashes land in build/fuzz/crash-* and restore-crash-*.
# Then atheris over the readers of shared files (integration folders, .vmv, .fm2,
# demonstrations files), FUZZ_SECONDS shared among them; their corpora grow in
# build/fuzz/readers/TARGET, crashes land in build/fuzz/readers/TARGET-crash-*.
PY_FUZZ_TARGETS = integration vmv fm2 demonstrations
PY_FUZZ_SECONDS = $(shell echo $$(( ($(FUZZ_SECONDS) + 3) / 4 )))
fuzz: venv clang-deps
	cmake -S . -B build/fuzz -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja -DCMAKE_CXX_COMPILER=clang++ \
	  -DVELKORA_BUILD_MODULE=OFF -DVELKORA_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=Release \
	  -DVELKORA_BUILD_FUZZ=ON -DVELKORA_SANITIZE=address,undefined >/dev/null
	cmake --build build/fuzz -j $(JOBS) --target fuzz_loader fuzz_restore
	rm -rf build/fuzz/seeds build/fuzz/restore-seeds
	$(PY) tests/fuzz/make_seeds.py build/fuzz/seeds build/fuzz/restore-seeds
	mkdir -p build/fuzz/corpus build/fuzz/restore-corpus
	build/fuzz/fuzz_loader -max_total_time=$(FUZZ_SECONDS) -timeout=10 -max_len=131072 \
	  -entropic_scale_per_exec_time=1 -print_final_stats=1 -artifact_prefix=build/fuzz/ \
	  build/fuzz/corpus build/fuzz/seeds
	VELKORA_FUZZ_IMAGES=build/fuzz/seeds build/fuzz/fuzz_restore -max_total_time=$(FUZZ_SECONDS) -timeout=10 \
	  -max_len=4096 -print_final_stats=1 -artifact_prefix=build/fuzz/restore- \
	  build/fuzz/restore-corpus build/fuzz/restore-seeds
	$(MAKE) --no-print-directory fuzz-readers

fuzz-readers: module
	rm -rf build/fuzz/reader-seeds
	$(PY) tests/fuzz/fuzz_readers.py seeds build/fuzz/reader-seeds
	for t in $(PY_FUZZ_TARGETS); do mkdir -p build/fuzz/readers/$$t && \
	  $(PY) tests/fuzz/fuzz_readers.py $$t -max_total_time=$(PY_FUZZ_SECONDS) -timeout=10 -rss_limit_mb=4096 \
	    -max_len=65536 -print_final_stats=1 -artifact_prefix=build/fuzz/readers/$$t- \
	    build/fuzz/readers/$$t build/fuzz/reader-seeds/$$t || exit 1; done

# --- Layout: ruff for Python, clang-format for C++ (Debian's 14: other versions lay out differently) ---
CLANG_FORMAT ?= clang-format-14
CXX_SOURCES = $(shell find src tests/cpp tests/fuzz bench tools -name '*.cpp' -o -name '*.h')

format-deps: venv
	@command -v $(CLANG_FORMAT) >/dev/null || { echo "Installing clang-format-14 with apt"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang-format-14 >/dev/null; }

# Fails on a lint finding or on any file the formatters would change.
lint: format-deps
	$(VENV)/bin/ruff check .
	$(VENV)/bin/ruff format --check .
	@echo "$(CLANG_FORMAT) --dry-run --Werror (the C++ of src, tests/cpp, tests/fuzz, bench, tools)"
	@$(CLANG_FORMAT) --dry-run --Werror $(CXX_SOURCES)

format: format-deps
	$(VENV)/bin/ruff check --fix .
	$(VENV)/bin/ruff format .
	@echo "$(CLANG_FORMAT) -i (the C++ of src, tests/cpp, tests/fuzz, bench, tools)"
	@$(CLANG_FORMAT) -i $(CXX_SOURCES)

clean:
	rm -rf build dist *.egg-info
