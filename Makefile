# Entry points for people and CI. Every target installs what it needs first.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all deps build check demo clean

all: build

deps:
	./scripts/install-deps.sh

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

# The test command: dependencies, configure, build, the whole suite.
check: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The Quick start: build, then write the sample program to a simulated board.
demo: build
	./scripts/demo.sh $(BUILD)

clean:
	rm -rf $(BUILD)
