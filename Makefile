# Entry points. `make demo` runs the main example, `make test` every test; both set up a fresh
# machine first (scripts/setup.sh installs what is missing).
PY := /usr/bin/python3
BUILD ?= build
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc)
# The long crash run and the fuzz time per target.
CRASH_KILLS ?= 1000
CRASH_SEED ?= 1
FUZZ_SECONDS ?= 30

# The benchmark run: BENCH_BUDGET seconds for all of `make bench`, build included; BENCH_ARGS go to
# bench/run_all.py (e.g. --quick, --repeats 1).
BENCH_BUDGET ?= 840
BENCH_ARGS ?=
BENCH_PROGRAMS := $(basename $(notdir $(wildcard bench/*_bench.cc)))

.PHONY: all setup configure build demo test test-cpp test-python clang tsan asan crash fuzz bench \
  clean

all: build

setup:
	@bash scripts/setup.sh

# A tree is configured once; given CMAKE_FLAGS, the configure step runs again so that they take
# effect (cmake keeps what an earlier run set unless told otherwise).
$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)
ifneq ($(strip $(CMAKE_FLAGS)),)
.PHONY: $(BUILD)/build.ninja
endif

configure: setup $(BUILD)/build.ninja

build: configure
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	PYTHONPATH=$(BUILD)/python $(PY) examples/agent_memory.py

# Both halves build first, so that `make -j test` never runs a test against a stale build.
test: test-cpp test-python

test-cpp: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-python: build
	PYTHONPATH=$(BUILD)/python $(PY) -m pytest -q tests/python

# The same build with clang 14, warnings as errors.
clang: setup
	cmake -S . -B build-clang -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 -DQM_WERROR=ON $(CMAKE_FLAGS)
	cmake --build build-clang -j $(JOBS)

asan: setup
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQM_SANITIZE=address,undefined -DQM_BUILD_PYTHON=OFF \
	  $(CMAKE_FLAGS)
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ctest --output-on-failure -j $(JOBS)

tsan: setup
	cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQM_SANITIZE=thread -DQM_BUILD_PYTHON=OFF \
	  $(CMAKE_FLAGS)
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && ctest --output-on-failure -j $(JOBS)

# The crash harness, long form: SIGKILL a writing child CRASH_KILLS times and check what survives.
crash: build
	$(BUILD)/tests/crash/qm_crash_harness run --kills $(CRASH_KILLS) --seed $(CRASH_SEED)

# Every libFuzzer target for FUZZ_SECONDS, on a clang build with ASan and UBSan; the corpora stay
# in build-fuzz/corpus, crashing inputs land in build-fuzz/artifacts.
fuzz: setup
	cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 \
	  -DQM_SANITIZE=address,undefined,fuzzer-no-link -DQM_BUILD_FUZZ=ON -DQM_BUILD_TESTS=OFF -DQM_BUILD_PYTHON=OFF \
	  $(CMAKE_FLAGS)
	cmake --build build-fuzz -j $(JOBS)
	bash fuzz/run.sh build-fuzz $(FUZZ_SECONDS)

# Every benchmark of bench/ against its comparisons, side by side; writes bench/REPORT.md and the
# plots bench/*.png. Configures $(BUILD) with the benchmarks and builds only what they run.
bench:
	@start=$$(date +%s); \
	bash scripts/setup.sh --bench && \
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQM_BUILD_BENCH=ON $(CMAKE_FLAGS) && \
	cmake --build $(BUILD) -j $(JOBS) --target _native $(BENCH_PROGRAMS) && \
	$(PY) bench/run_all.py --build $(BUILD) --started $$start --budget $(BENCH_BUDGET) $(BENCH_ARGS); \
	rc=$$?; echo "make bench: $$(( $$(date +%s) - start )) s"; exit $$rc

clean:
	rm -rf $(BUILD) build-clang build-asan build-tsan build-fuzz
