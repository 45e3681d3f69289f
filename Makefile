# Thin wrapper over CMake. Every target configures and builds what it needs,
# so each works on a fresh clone.
BUILD ?= build
JOBS  ?= $(shell nproc)

.PHONY: all build test demo bench fuzz test-asan test-tsan clean

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

# Unit, end-to-end and replay tests.
test: build
	cd $(BUILD) && ctest --output-on-failure -j2

# keld on a simulated host, fed the example scenarios, with hubd played by hubdsink.
demo: build
	@examples/demo.sh $(BUILD)

bench: build
	@bench/run.sh $(BUILD)

# The whole test suite under the address and undefined-behaviour sanitizers.
test-asan:
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DKELD_SANITIZE=address,undefined
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ctest --output-on-failure -j2

# The whole test suite under the thread sanitizer.
test-tsan:
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DKELD_SANITIZE=thread
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && ctest --output-on-failure -j2

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz
