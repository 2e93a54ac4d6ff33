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

# GoogleTest has no pip package; zlib's headers come from Debian too, and so
# does libdeflate (optional for the build: the fast inflate path).
# The packages are named with this machine's architecture: once
# `make test-aarch64` has added the arm64 zlib, a bare name is ambiguous to
# dpkg and every make would run apt-get again.
deps:
	@arch=$$(dpkg --print-architecture); \
	if ! dpkg -s libgtest-dev:$$arch zlib1g-dev:$$arch libdeflate-dev:$$arch >/dev/null 2>&1; then \
	  echo "installing libgtest-dev zlib1g-dev libdeflate-dev"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev zlib1g-dev libdeflate-dev; \
	fi
	@# HDF5's headers build the filter plugin; h5dump reads its files in the tests.
	@# Optional: without them the plugin is not built and its tests skip.
	@if ! dpkg -s libhdf5-dev hdf5-tools >/dev/null 2>&1; then \
	  echo "installing libhdf5-dev hdf5-tools"; \
	  (apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libhdf5-dev hdf5-tools) || \
	    echo "libhdf5-dev could not be installed: the HDF5 filter is not built and its tests skip"; \
	fi

$(VENV)/.installed: requirements-dev.txt requirements-tools.txt
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
	$(VPY) -m pytest -q tests/python tests/tools tests/hdf5

test: test-cpp test-portable test-sanitize test-python test-aarch64

demo: install-python
	$(VPY) scripts/demo.py

clean:
	rm -rf $(BUILD) build-* dist *.egg-info

# --- Sanitisers and fuzzing -------------------------------------------------
#
# test-sanitize: the C++ suite and the Python suite once more, built with
# AddressSanitizer and UndefinedBehaviorSanitizer (preset "sanitize"). The
# installed-package test is left out there (its consumer project is not
# sanitised, so it cannot link the sanitised libraries). The Python suite runs
# against a sanitised build of the extension with the ASan runtime preloaded
# into the interpreter; the address-space-cap tests and the process-wide
# memory figures of the leak test are left out, because ASan reserves
# terabytes of shadow space and keeps freed memory in quarantine.
SANITIZE_BUILD := build-sanitize
SANITIZER_ENV := ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_string_checks=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
SANITIZE_PYTEST_SKIPS := --ignore=tests/python/test_out_of_memory.py \
  --deselect tests/python/test_leaks.py::test_no_leak_across_many_calls

.PHONY: test-sanitize test-sanitize-cpp test-sanitize-python fuzz fuzz-deps fuzz-build

test-sanitize: test-sanitize-cpp test-sanitize-python

test-sanitize-cpp: deps
	cmake --preset sanitize
	cmake --build --preset sanitize -j$(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(SANITIZE_BUILD) -j$(JOBS) --output-on-failure -E '^InstalledPackage\.'

test-sanitize-python: venv deps test-sanitize-cpp
	cmake --preset sanitize -DQUORVANE_BUILD_PYTHON=ON -DPython_EXECUTABLE=$(abspath $(VPY))
	cmake --build $(SANITIZE_BUILD) -j$(JOBS) --target quorvane
	$(SANITIZER_ENV) LD_PRELOAD=$$($(CXX) -print-file-name=libasan.so) \
	  PYTHONPATH=$(SANITIZE_BUILD)/python $(VPY) -m pytest -q -p no:cacheprovider tests/python \
	  $(SANITIZE_PYTEST_SKIPS)

# fuzz: builds the libFuzzer targets with clang (installed through apt-get
# when missing), writes the seed corpus (valid streams of every method and
# both coders) into tests/fuzz/corpus-<target>/ and runs every target for
# FUZZ_TIME seconds, JOBS at a time. Findings land in tests/fuzz/artifacts/.
# Each run's final stats (time, executions, peak memory, result, compiler,
# commit) are appended to docs/data/fuzz-runs.txt, which `make docs` turns
# into the README's table. One target alone, for a long run:
#   make fuzz-build && make fuzz-run-decompress FUZZ_TIME=1800
FUZZ_BUILD := build-fuzz
FUZZ_TIME ?= 600
FUZZ_RSS_MB ?= 2048
FUZZ_AT_ONCE ?= 1
FUZZ_RUNS ?= docs/data/fuzz-runs.txt
FUZZ_ARTIFACTS ?= tests/fuzz/artifacts
FUZZ_TARGETS := decompress decode_stream decode_plane decode_bands round_trip

fuzz-deps:
	@if ! command -v clang++-14 >/dev/null 2>&1 || ! dpkg -s libclang-rt-14-dev >/dev/null 2>&1; then \
	  echo "installing clang-14 libclang-rt-14-dev"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang-14 libclang-rt-14-dev; \
	fi

fuzz-build: deps fuzz-deps
	cmake --preset fuzz
	cmake --build --preset fuzz -j$(JOBS)
	$(FUZZ_BUILD)/tests/fuzz/make_seed_corpus tests/fuzz

fuzz: fuzz-build
	$(MAKE) --no-print-directory -j$(JOBS) FUZZ_AT_ONCE=$(JOBS) $(addprefix fuzz-run-,$(FUZZ_TARGETS))

fuzz-run-%:
	@mkdir -p $(FUZZ_ARTIFACTS)
	started=$$(date +%s); \
	$(FUZZ_BUILD)/tests/fuzz/fuzz_$* -max_total_time=$(FUZZ_TIME) -rss_limit_mb=$(FUZZ_RSS_MB) \
	  -print_final_stats=1 -artifact_prefix=$(FUZZ_ARTIFACTS)/$*- tests/fuzz/corpus-$* \
	  > $(FUZZ_ARTIFACTS)/$*.log 2>&1; status=$$?; \
	  grep -E '^(Done|stat::number_of_executed_units|==[0-9]+==ERROR|SUMMARY)' $(FUZZ_ARTIFACTS)/$*.log; \
	  $(PYTHON) scripts/record_fuzz_run.py --target $* --log $(FUZZ_ARTIFACTS)/$*.log --status $$status \
	    --seconds $$(( $$(date +%s) - started )) --at-once $(FUZZ_AT_ONCE) --build $(FUZZ_BUILD) --file $(FUZZ_RUNS); \
	  exit $$status

# wheel-check: builds the wheel as a user would (pip wheel .), installs it
# with its extras into a fresh virtualenv that has nothing from the source
# tree, and runs the Python suites there, from outside the tree so that
# the installed quorvane_tools and entry points are the ones tested.
.PHONY: wheel-check
WHEEL_CHECK := build-wheel-check
wheel-check:
	rm -rf $(WHEEL_CHECK)
	$(PYTHON) -m venv $(WHEEL_CHECK)/venv
	$(WHEEL_CHECK)/venv/bin/python -m pip install -q --upgrade pip
	$(WHEEL_CHECK)/venv/bin/python -m pip wheel -q --no-deps -w $(WHEEL_CHECK)/dist .
	$(WHEEL_CHECK)/venv/bin/python -m pip install -q "$$(ls $(WHEEL_CHECK)/dist/quorvane-*.whl)[dev]" hypothesis
	cd $(WHEEL_CHECK) && venv/bin/python -c "import quorvane, quorvane_tools; \
	  assert 'site-packages' in quorvane.__file__ and 'site-packages' in quorvane_tools.__file__"
	cd $(WHEEL_CHECK) && venv/bin/python -m pytest -q -p no:cacheprovider $(CURDIR)/tests/python $(CURDIR)/tests/tools $(CURDIR)/tests/hdf5

# docs: measures every figure in README.md and docs/ again. Each script in
# scripts/docs/ (except the doc_blocks.py helper they share) rewrites the
# text between its <!-- generated: NAME (SCRIPT) --> and <!-- end: NAME -->
# markers; a script added there is picked up without a change here. The
# signal corpus comes from $(QUORVANE_CORPUS) (default ../shared/corpus).
.PHONY: docs
DOCS_SCRIPTS := $(filter-out scripts/docs/doc_blocks.py,$(sort $(wildcard scripts/docs/*.py)))
docs: install-python
	@set -e; for script in $(DOCS_SCRIPTS); do echo "$$script"; $(VPY) $$script; done
	$(VPY) scripts/plot_rate_distortion.py > /dev/null

# bench: throughput (MB/s of float32 input) of every method x coder at the
# default scale on 10^6 and 10^7 samples of speech and ECG from the shared
# corpus, 1 and 2 threads, peak memory, and zfp, quantise+FLAC and pcodec
# beside them (requirements-bench.txt; a missing peer is skipped); then the
# time of each codec stage per sample. BENCH_ARGS passes options to
# bench/bench.py, e.g. BENCH_ARGS="--against OTHER_BUILD/python".
# The run's output is kept in BENCH_RECORD, which `make docs` shows in the README.
BENCH_RECORD ?= docs/data/bench-run.txt
.PHONY: bench
BENCH_ARGS ?=
BENCH_BUILD := build-bench
CORPUS ?= $(or $(QUORVANE_CORPUS),../shared/corpus)
bench: install-python
	$(VPY) -m pip install -q -r requirements-bench.txt || echo "bench: peers not installed; skipped"
	$(VPY) bench/bench.py --corpus $(CORPUS) --record $(BENCH_RECORD) $(BENCH_ARGS)
	cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVANE_BUILD_TESTS=OFF \
	  -DQUORVANE_BUILD_BENCH=ON
	cmake --build $(BENCH_BUILD) -j$(JOBS) --target codec_stage_bench
	$(BENCH_BUILD)/tests/bench/codec_stage_bench $(CORPUS)/alsa_speech_all8.npy 10000000 5
	$(BENCH_BUILD)/tests/bench/codec_stage_bench $(CORPUS)/scipy_ecg.npy 10000000 5

# target-bench / band-bench: the target encoder against the reference
# encoder's grid and the peers (scripts/target_benchmark.py), and coder 2
# against coder 1 on the same coefficients (band_coder_bench). Each takes
# minutes and wants a quiet machine, so `make docs` does not run them: they
# keep their output in docs/data/, and `make docs` quotes it.
TARGET_RECORD ?= docs/data/target-benchmark.md
BAND_RECORD ?= docs/data/band-coder-bench.txt
HDF5_RECORD ?= docs/data/hdf5-filters.md
.PHONY: target-bench band-bench hdf5-bench
target-bench: install-python
	$(VPY) -m pip install -q -r requirements-bench.txt || echo "target-bench: peers not installed; skipped"
	$(VPY) scripts/target_benchmark.py --corpus $(CORPUS) --detail --speed > $(TARGET_RECORD).tmp
	mv $(TARGET_RECORD).tmp $(TARGET_RECORD) && cat $(TARGET_RECORD)

band-bench: build
	cmake --build $(BUILD) -j$(JOBS) --target band_coder_bench
	{ $(PYTHON) scripts/docs/doc_blocks.py && $(BUILD)/tests/band_coder_bench $(CORPUS); } > $(BAND_RECORD).tmp
	mv $(BAND_RECORD).tmp $(BAND_RECORD) && cat $(BAND_RECORD)

# hdf5-bench: the HDF5 filter against gzip, scale-offset, zfp and SZ3
# (hdf5/bench/compare_filters.py), recorded for the README likewise.
hdf5-bench: install-python
	$(VPY) -m pip install -q -r hdf5/bench/requirements.txt || echo "hdf5-bench: hdf5plugin not installed; zfp and SZ3 skipped"
	{ $(PYTHON) scripts/docs/doc_blocks.py && $(VPY) hdf5/bench/compare_filters.py --corpus $(CORPUS); } > $(HDF5_RECORD).tmp
	mv $(HDF5_RECORD).tmp $(HDF5_RECORD) && cat $(HDF5_RECORD)

# --- 64-bit Arm ---------------------------------------------------------------
#
# test-aarch64: the wavelet and codec suites cross-built for AArch64, where
# the NEON kernels run, and executed under qemu-aarch64: the golden streams
# and the portable-versus-variant tests prove the NEON bits equal the x86
# ones. Death tests and thread tests are left out there: qemu-user does not
# run forked death tests or the futex waits of the thread tests reliably,
# and neither depends on the architecture (both run natively in test-cpp).
AARCH64_BUILD := build-aarch64
AARCH64_DEBS := g++-aarch64-linux-gnu qemu-user zlib1g-dev:arm64 libgtest-dev:arm64

.PHONY: deps-aarch64 test-aarch64

deps-aarch64:
	@if ! dpkg -s $(AARCH64_DEBS) >/dev/null 2>&1; then \
	  echo "installing $(AARCH64_DEBS)"; \
	  dpkg --add-architecture arm64 && apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $(AARCH64_DEBS); \
	fi

test-aarch64: deps-aarch64
	cmake -S . -B $(AARCH64_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.toolchain.cmake
	cmake --build $(AARCH64_BUILD) -j$(JOBS)
	ctest --test-dir $(AARCH64_BUILD) -j$(JOBS) --output-on-failure \
	  -E 'InstalledPackage|DeathTest|Thread'

# test-portable (part of test): the C++ suite built so that the portable
# per-sample and transform kernels run even where AVX2/FMA is present, so
# the golden streams and round trips check them on this CPU too (their fused
# multiply-adds take the exact double-precision sequence there, as on a CPU
# without FMA, and a test checks they call no libm fmaf/fminf/fmaxf). About
# as long as test-cpp.
PORTABLE_BUILD := build-portable

.PHONY: test-portable
test-portable: deps
	cmake -S . -B $(PORTABLE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVANE_PORTABLE_KERNELS=ON
	cmake --build $(PORTABLE_BUILD) -j$(JOBS)
	ctest --test-dir $(PORTABLE_BUILD) -j$(JOBS) --output-on-failure -E '^InstalledPackage\.'
