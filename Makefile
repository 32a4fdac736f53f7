# The README's commands. Every target installs what is missing first.
SHELL := /bin/bash
JOBS ?= 2
ARGS ?=
CMAKE_COMMON := -G Ninja -DCMAKE_EXPORT_COMPILE_COMMANDS=ON

RELEASE_DIR := build/release
ASAN_DIR := build/asan
TSAN_DIR := build/tsan
FUZZ_DIR := build/fuzz

.PHONY: all deps release run test tsan bench crash fuzz format format-check lint clean

all: release

deps:
	@scripts/install-deps

release: deps
	cmake -S . -B $(RELEASE_DIR) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Release
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

# ThreadSanitizer build; runs the tests labelled for it (concurrency and end to end).
tsan: deps
	cmake -S . -B $(TSAN_DIR) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" -DKAVREL_SANITIZE=thread -DKAVREL_WERROR=ON
	cmake --build $(TSAN_DIR) -j $(JOBS)
	cd $(TSAN_DIR) && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
	  ctest --output-on-failure -j $(JOBS) $(TSAN_CTEST_ARGS)

bench: release
	scripts/run-benchmarks $(RELEASE_DIR)

crash: release
	$(RELEASE_DIR)/tests/crash/kavrel_crash_test --rounds=$${ROUNDS:-200}

fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_DIR) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" -DKAVREL_FUZZ=ON
	cmake --build $(FUZZ_DIR) -j $(JOBS)
	scripts/run-fuzzers $(FUZZ_DIR) $${FUZZ_SECONDS:-60}

SOURCES = $(shell git ls-files '*.cc' '*.h' 2>/dev/null)

format:
	clang-format -i $(SOURCES)

format-check:
	clang-format --dry-run --Werror $(SOURCES)

lint: release
	run-clang-tidy -quiet -p $(RELEASE_DIR) $(filter %.cc,$(SOURCES))

clean:
	rm -rf build
