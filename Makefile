# SPDX-License-Identifier: GPL-2.0-or-later
# Entry points for people and CI. Every target installs what it needs first.
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 60

.PHONY: all deps configure build check demo check-sanitize fuzz-smoke package-check ci clean

all: build

deps:
	./scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# The test command: dependencies, configure, build, the whole suite.
check: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

# The Quick start: build the two programs it runs (not the windows or the
# test suite), then write the sample program to a simulated board.
demo: configure
	cmake --build $(BUILD) -j $(JOBS) --target qw735-write qw735-target-sim
	./scripts/demo.sh $(BUILD)

# The whole suite again, built with AddressSanitizer and UBSan.
check-sanitize: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DQW735_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=quarantine_size_mb=32 QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

# A short run of each fuzzer: S-record, Intel HEX, ELF and Telnet (the long runs
# are done by hand).
fuzz-smoke: deps
	./fuzz/run-fuzz.sh $(FUZZ_SECONDS)

# Builds the Debian packages with dpkg-buildpackage in a scratch copy of the
# tree, checks them with lintian, installs the command-line package alone and
# then the window one, runs the installed programs, and purges them again.
package-check: deps
	./scripts/check-package.sh

# Everything CI runs.
ci: check check-sanitize fuzz-smoke package-check

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) build-fuzz
