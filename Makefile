# Thin wrapper over CMake. Every target configures and builds what it needs,
# so each works on a fresh clone.
BUILD ?= build
JOBS  ?= $(shell nproc)
# The fuzz targets need clang with libFuzzer; they get their own build.
FUZZ_BUILD   ?= build-fuzz
FUZZ_SECONDS ?= 60
HAVE_CLANG   := $(shell command -v clang++ >/dev/null 2>&1 && command -v clang >/dev/null 2>&1 && echo yes)
# Every build made here treats warnings as errors (a plain CMake build does not).
CMAKE_FLAGS  ?= -DKELD_WERROR=ON

.PHONY: all build test demo demo-linux bench fuzz fuzz-build fuzz-smoke test-asan test-tsan lint clean

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

# Unit, end-to-end and replay tests, after a smoke run of every fuzz target.
test: build fuzz-smoke
	cd $(BUILD) && ctest --output-on-failure -j2

# The fuzz targets (with clang only; without it, nothing is built or run).
$(FUZZ_BUILD)/CMakeCache.txt:
ifeq ($(HAVE_CLANG),yes)
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELD_FUZZ=ON $(CMAKE_FLAGS) \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
endif

fuzz-build: $(FUZZ_BUILD)/CMakeCache.txt
ifeq ($(HAVE_CLANG),yes)
	cmake --build $(FUZZ_BUILD) --target fuzzers -j $(JOBS)
else
	@echo "clang++ not found: fuzz targets skipped"
endif

fuzz-smoke: fuzz-build
ifeq ($(HAVE_CLANG),yes)
	cd $(FUZZ_BUILD) && ctest --output-on-failure -j2 -L fuzz
endif

# Long runs: FUZZ_SECONDS per target; prints the executions of each.
fuzz: fuzz-build
ifeq ($(HAVE_CLANG),yes)
	@tests/fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)
endif

# keld on a simulated host, fed the example scenarios, with hubd played by hubdsink.
# Builds only the daemon and the tools the demo runs.
demo: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target keld kelinject hubdsink kelreplay keltrace
	@examples/demo.sh $(BUILD)

# keld watching real links through kelwatch, in network namespaces (root).
demo-linux: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target keld kelwatch hubdsink
	@examples/demo-linux.sh $(BUILD)

# Static checks of our sources: cppcheck, then clang-tidy with .clang-tidy's
# checks (a few minutes on two cores). Prints nothing but a summary when quiet.
LINT_SOURCES = $(shell git ls-files 'apps/*.cpp' 'hostsim/*.cpp' 'linux/*.cpp' 'tools/*.cpp')
lint: $(BUILD)/CMakeCache.txt
	cppcheck --quiet --error-exitcode=1 --enable=warning,performance,portability --std=c++17 \
	  --inline-suppr --suppress=missingIncludeSystem -I apps/keld $(LINT_SOURCES)
	run-clang-tidy -quiet -p $(BUILD) -j $(JOBS) $(addprefix $(CURDIR)/,$(LINT_SOURCES)) 2>/dev/null | \
	  { ! grep -E 'warning:|error:'; }
	@echo "lint: cppcheck and clang-tidy found nothing"

# The benchmarks are not in the default build: run.sh builds them.
bench: build
	@bench/run.sh $(BUILD)

# The whole test suite under the address and undefined-behaviour sanitizers.
test-asan:
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DKELD_SANITIZE=address,undefined $(CMAKE_FLAGS)
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ctest --output-on-failure -j2

# The whole test suite under the thread sanitizer.
test-tsan:
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DKELD_SANITIZE=thread $(CMAKE_FLAGS)
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && ctest --output-on-failure -j2

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz
