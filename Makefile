# SPDX-License-Identifier: GPL-2.0-or-later
# Entry points for people and CI. Every target installs what it needs first,
# and no more (scripts/install-deps.sh names the package sets).
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 60

.PHONY: all deps configure build check demo check-sanitize fuzz-smoke package-check ci clean

all: build

# Everything any target below needs.
deps:
	./scripts/install-deps.sh all

# Everything is configured, whatever an earlier make demo left out.
configure:
	./scripts/install-deps.sh build
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQW735_BUILD_TESTS=ON -DQW735_BUILD_WINDOWS=ON -DQW735_BUILD_BENCH=ON

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# The test command: dependencies, configure, build, the whole suite.
check: build
	./scripts/install-deps.sh check
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

# The Quick start: only what the two programs it runs need is installed,
# configured and built (not the windows, the suite or the benchmarks); then
# the sample program is written to a simulated board.
demo:
	./scripts/install-deps.sh demo
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQW735_BUILD_TESTS=OFF -DQW735_BUILD_WINDOWS=OFF -DQW735_BUILD_BENCH=OFF
	cmake --build $(BUILD) -j $(JOBS) --target qw735-write qw735-target-sim
	./scripts/demo.sh $(BUILD)

# The whole suite again, built with AddressSanitizer and UBSan.
check-sanitize:
	./scripts/install-deps.sh check
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DQW735_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=quarantine_size_mb=32 QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

# A short run of each fuzzer: S-record, Intel HEX, ELF, Telnet and job files
# (the long runs are done by hand).
fuzz-smoke:
	./scripts/install-deps.sh fuzz
	./fuzz/run-fuzz.sh $(FUZZ_SECONDS)

# Builds the Debian packages with dpkg-buildpackage in a scratch copy of the
# tree, checks them with lintian, installs the command-line package alone and
# then the window one, runs the installed programs, and purges them again.
package-check:
	./scripts/install-deps.sh package
	./scripts/check-package.sh

# Everything CI runs.
ci: check check-sanitize fuzz-smoke package-check

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) build-fuzz
