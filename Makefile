# The project's commands. `make demo` runs the demo backtest; `make test` runs
# every test (the layout check, C++ plain and sanitized, the fuzzer for a fixed
# budget, Python).
# Both set up what they need on a fresh machine: system packages through apt-get
# when running as root, a virtual environment in .venv, the module installed into it.

PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
JOBS ?= 2
CMAKE := $(VENV)/bin/cmake
BUILD_FLAGS := -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja)
SYSTEM_PACKAGES := g++ libgtest-dev libbenchmark-dev clang libclang-rt-14-dev clang-format chromium zlib1g-dev
FUZZ_SECONDS ?= 60
# Options of bench/run_all.py, e.g. BENCH_ARGS="--memory-ticks 10000000" for a
# 640 MB file in the memory figure instead of 6.4 GB.
BENCH_ARGS ?=

.PHONY: test demo bench deps venv install format-check cpp-test asan-test asan-py-test py-test \
        fuzz clean

test: format-check cpp-test asan-test asan-py-test fuzz py-test
	@echo "all tests passed"

demo: install
	$(VPY) examples/demo.py

bench: install
	$(CMAKE) -S . -B build/bench $(BUILD_FLAGS) -DCMAKE_BUILD_TYPE=Release -DTM_BENCH=ON
	$(CMAKE) --build build/bench -j$(JOBS)
	$(VPY) bench/run_all.py $(BENCH_ARGS)

# System packages: GoogleTest, Google Benchmark, clang with libFuzzer, clang-format, and
# chromium, which renders the HTML report in the tests.
deps:
	@if [ -f /usr/include/gtest/gtest.h ] && [ -f /usr/include/benchmark/benchmark.h ] \
	    && [ -f /usr/include/zlib.h ] \
	    && command -v clang++ >/dev/null && command -v g++ >/dev/null \
	    && command -v clang-format >/dev/null \
	    && command -v chromium >/dev/null \
	    && ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then \
	  true; \
	elif [ "$$(id -u)" = 0 ]; then \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $(SYSTEM_PACKAGES) >/dev/null; \
	else \
	  echo "missing system packages; install them with: sudo apt-get install $(SYSTEM_PACKAGES)"; exit 1; \
	fi

$(VENV)/.stamp: requirements-dev.txt
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q -r requirements-dev.txt
	touch $@

venv: $(VENV)/.stamp

install: deps venv
	$(VPY) -m pip install -q --no-build-isolation .

# Every tracked C++ source and header laid out as .clang-format says; each
# offending line is printed, and `clang-format -i FILE` mends the file.
format-check: deps
	git ls-files -z -- 'src/*.cpp' 'src/*.h' 'tests/*.cpp' 'tests/*.h' 'bench/*.cpp' 'bench/*.h' \
	  | xargs -0 clang-format --dry-run -Werror

cpp-test: deps venv
	$(CMAKE) -S . -B build/cpp $(BUILD_FLAGS) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTM_TESTS=ON
	$(CMAKE) --build build/cpp -j$(JOBS)
	$(VENV)/bin/ctest --test-dir build/cpp --output-on-failure -j$(JOBS)

asan-test: deps venv
	$(CMAKE) -S . -B build/asan $(BUILD_FLAGS) -DCMAKE_BUILD_TYPE=Debug -DTM_TESTS=ON -DTM_SANITIZE=ON
	$(CMAKE) --build build/asan -j$(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  $(VENV)/bin/ctest --test-dir build/asan --output-on-failure -j$(JOBS)

fuzz: deps
	@if [ -x tests/fuzz/run.sh ]; then FUZZ_SECONDS=$(FUZZ_SECONDS) tests/fuzz/run.sh; fi

py-test: install
	$(VPY) -m pytest tests/python -q

# The Python tests that drive the module hardest, against the module built with
# AddressSanitizer and UndefinedBehaviorSanitizer. The interpreter is not built
# with them, so the sanitizer runtime is preloaded, with the C++ runtime whose
# exceptions it intercepts; leak detection is off because the interpreter does
# not free everything at exit. Capture stays at the sys level so that a
# sanitizer report on file descriptor 2 reaches the terminal.
ASAN_PY_TESTS := $(addprefix tests/python/,test_arguments.py test_values.py test_run.py \
                   test_ticks_file.py test_interrupt.py test_threads.py)
asan-py-test: deps venv
	$(CMAKE) -S . -B build/asan-py $(BUILD_FLAGS) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTM_PYTHON=ON -DTM_SANITIZE=ON -DPython_EXECUTABLE=$(abspath $(VPY))
	$(CMAKE) --build build/asan-py -j$(JOBS) --target tallowmarsh
	LD_PRELOAD="$(shell gcc -print-file-name=libasan.so) $(shell gcc -print-file-name=libstdc++.so)" \
	  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
	  PYTHONPATH=$(abspath build/asan-py/src/tm_py) \
	  $(VPY) -m pytest -q --capture=sys -p no:cacheprovider $(ASAN_PY_TESTS)

clean:
	rm -rf build
