# Developer entry points. Every target sets up what it needs on a fresh
# machine: Debian packages through apt-get (only where no pip package
# serves), Python packages in the project virtualenv .venv.

PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
BUILD := build
JOBS ?= 2

.PHONY: all deps venv build test test-cpp test-python install-python demo clean

all: build

# GoogleTest has no pip package; zlib's headers come from Debian too.
deps:
	@if ! dpkg -s libgtest-dev zlib1g-dev >/dev/null 2>&1; then \
	  echo "installing libgtest-dev zlib1g-dev"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev zlib1g-dev; \
	fi

$(VENV)/.installed: requirements-dev.txt
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q -r requirements-dev.txt
	touch $@

venv: $(VENV)/.installed

build: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j$(JOBS)

test-cpp: build
	ctest --test-dir $(BUILD) -j$(JOBS) --output-on-failure

# Installs the package into the virtualenv the way a user would (pip install .).
install-python: venv deps
	$(VPY) -m pip install -q . 

test-python: install-python
	$(VPY) -m pytest -q tests/python

test: test-cpp test-python

demo: install-python
	$(VPY) scripts/demo.py

clean:
	rm -rf $(BUILD) build-* dist *.egg-info
