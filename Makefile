# Everything a fresh machine needs: `make test` and `make demo` set themselves up.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(VENV)/bin/pip
ROM ?=
JOBS ?= 2

# The first Python 3.12 found: on PATH, or under pyenv.
PYTHON312 ?= $(shell for p in python3.12 $$HOME/.pyenv/versions/3.12*/bin/python3.12 /usr/local/bin/python3.12 /usr/bin/python3.12; do \
	  $$p -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' 2>/dev/null && { echo $$p; break; }; done)

.PHONY: all venv system-deps module cpptest pytest test demo bench sanitize clean

all: module

system-deps:
	@if [ ! -f /usr/include/gtest/gtest.h ]; then \
	  echo "Installing GoogleTest (libgtest-dev) with apt"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null; \
	fi

$(VENV)/.stamp: pyproject.toml requirements-dev.txt
	@test -n "$(PYTHON312)" || { echo "Python 3.12 not found"; exit 1; }
	$(PYTHON312) -m venv $(VENV)
	$(PIP) install -q --upgrade pip
	$(PIP) install -q -r requirements-dev.txt
	touch $@

venv: $(VENV)/.stamp

# Builds the extension module into the virtual environment (incremental).
module: venv
	$(PIP) install -q --no-build-isolation --no-deps .

cpptest: venv system-deps
	cmake -S . -B build/cpp -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DVELKORA_BUILD_MODULE=OFF -DVELKORA_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build build/cpp -j $(JOBS)
	cd build/cpp && ctest --output-on-failure -j $(JOBS)

pytest: module
	$(PY) -m pytest -q tests/python

test: cpptest pytest

demo: module
	$(PY) examples/demo.py $(ROM)

clean:
	rm -rf build dist *.egg-info
