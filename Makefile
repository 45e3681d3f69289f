# Thin wrapper over CMake. `make test` and `make demo` work on a fresh clone.
BUILD ?= build
JOBS  ?= $(shell nproc)

.PHONY: all build test demo bench clean

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j2

demo: build
	@echo "not yet: the demo arrives with the correlators"

clean:
	rm -rf $(BUILD)
