# The README's commands. Every target installs what is missing first.
SHELL := /bin/bash
JOBS ?= 2
ARGS ?=
CMAKE_COMMON := -G Ninja -DCMAKE_EXPORT_COMPILE_COMMANDS=ON

RELEASE_DIR := build/release
ASAN_DIR := build/asan
TSAN_DIR := build/tsan
FUZZ_DIR := build/fuzz

.PHONY: all deps release run test python-test tsan tsan-ci bench compare crash fuzz format format-check lint clean

all: release

deps:
	@scripts/install-deps

release: deps
	cmake -S . -B $(RELEASE_DIR) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Release -DKAVREL_WERROR=OFF
	cmake --build $(RELEASE_DIR) -j $(JOBS)

# Builds, then starts the server in the foreground on ./kavrel_data. Ctrl-C stops it.
run: release
	$(RELEASE_DIR)/tools/kavrel-server $(ARGS)

# Sanitizer build (AddressSanitizer + UndefinedBehaviorSanitizer) and every test.
test: deps
	cmake -S . -B $(ASAN_DIR) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" -DKAVREL_SANITIZE=address -DKAVREL_WERROR=ON
	cmake --build $(ASAN_DIR) -j $(JOBS)
	cd $(ASAN_DIR) && ctest --output-on-failure -j $(JOBS) $(CTEST_ARGS)
	$(MAKE) python-test KAVREL_SERVER=$(ASAN_DIR)/tools/kavrel-server

# The Python client's tests (clients/python) against a server binary, by default the ASan one
# `make test` builds; each test module starts it in a temporary directory. Debian's python3
# has the packages (python3-pytest, python3-sqlglot) that scripts/install-deps installs.
PYTHON ?= /usr/bin/python3
KAVREL_SERVER ?= $(ASAN_DIR)/tools/kavrel-server
python-test:
	cd clients/python && KAVREL_SERVER=$(abspath $(KAVREL_SERVER)) \
	  $(PYTHON) -m pytest -p no:cacheprovider -rfEs $(PYTEST_ARGS)

# ThreadSanitizer build; runs the tests labelled for it (concurrency and end to end).
tsan: deps
	cmake -S . -B $(TSAN_DIR) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" -DKAVREL_SANITIZE=thread -DKAVREL_WERROR=ON
	cmake --build $(TSAN_DIR) -j $(JOBS)
	cd $(TSAN_DIR) && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
	  ctest --output-on-failure -j $(JOBS) $(TSAN_CTEST_ARGS)

bench: release
	scripts/run-benchmarks $(RELEASE_DIR)

# Kavrel against a durable Redis (installed from Debian's redis-server when missing), point by
# point with the same load generator; COMPARE_ARGS go to scripts/compare-redis (--rounds N,
# --seconds S, --points a,b). Builds only the two programs it runs.
COMPARE_ARGS ?=
compare: deps
	cmake -S . -B $(RELEASE_DIR) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(RELEASE_DIR) -j $(JOBS) --target kavrel-server kavrel-bench
	scripts/compare-redis --build $(RELEASE_DIR) $(COMPARE_ARGS)

# The crash tests against the release build: ROUNDS kills of the server (default 200) under
# concurrent writers, then POWER_ROUNDS in-process power cuts (default 400).
crash: release
	$(RELEASE_DIR)/tests/crash/kavrel_crash_test --rounds=$${ROUNDS:-200}
	KAVREL_POWER_CUT_ROUNDS=$${POWER_ROUNDS:-400} $(RELEASE_DIR)/tests/crash/kavrel_power_cut_test

# libFuzzer targets (clang 19: the standard library's std::expected needs a newer clang than 14).
# Builds only the fuzz targets and runs each for FUZZ_SECONDS (default 60).
FUZZ_CC ?= clang-19
FUZZ_CXX ?= clang++-19
fuzz: deps
	CC=$(FUZZ_CC) CXX=$(FUZZ_CXX) cmake -S . -B $(FUZZ_DIR) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" -DKAVREL_FUZZ=ON
	cmake --build $(FUZZ_DIR) -j $(JOBS) --target kavrel_fuzzers
	scripts/run-fuzzers $(FUZZ_DIR) $(or $(FUZZ_SECONDS),60)

# CI's ThreadSanitizer run: builds only the concurrency and end-to-end tests and runs them.
TSAN_CI_TESTS := kavrel_storage_test kavrel_mvcc_test kavrel_server_test kavrel_e2e_test kavrel_crash_test \
  kavrel_power_cut_test
EMPTY :=
SPACE := $(EMPTY) $(EMPTY)
tsan-ci: deps
	cmake -S . -B $(TSAN_DIR) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" -DKAVREL_SANITIZE=thread -DKAVREL_WERROR=ON
	cmake --build $(TSAN_DIR) -j $(JOBS) --target $(TSAN_CI_TESTS)
	cd $(TSAN_DIR) && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
	  ctest --output-on-failure -j $(JOBS) -R '^($(subst $(SPACE),|,$(TSAN_CI_TESTS)))$$'

SOURCES = $(shell git ls-files '*.cc' '*.h' 2>/dev/null)

format:
	clang-format -i $(SOURCES)

format-check:
	clang-format --dry-run --Werror $(SOURCES)

# clang-tidy 19 reads the compile commands of a clang 19 configuration (it does not need
# building); the fuzz targets are left out (they exist only in a KAVREL_FUZZ build).
LINT_DIR := build/lint
LINT_CC ?= clang-19
LINT_CXX ?= clang++-19
lint: deps
	CC=$(LINT_CC) CXX=$(LINT_CXX) cmake -S . -B $(LINT_DIR) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Debug >/dev/null
	run-clang-tidy-19 -quiet -j $(JOBS) -p $(LINT_DIR) $(filter-out tests/fuzz/%,$(filter %.cc,$(SOURCES)))

clean:
	rm -rf build
