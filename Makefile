# The front door. CMake does the work; these targets only sequence it.
BUILD ?= build
SANITIZE_BUILD ?= build-sanitize
RELEASE_BUILD ?= build-release
FUZZ_BUILD ?= build-fuzz
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 60
STAGE = $(BUILD)/stage
PREFIX ?= /usr/local

.PHONY: all build sanitize-build release-build clang-build check demo fuzz bench install install-programs package format clean

all: build

build:
	cmake -S . -B $(BUILD) $(WERROR)
	cmake --build $(BUILD) -j $(JOBS)

sanitize-build:
	cmake -S . -B $(SANITIZE_BUILD) -DPROBES_SANITIZE=ON -DPROBES_BENCH=OFF -DPROBES_WERROR=ON
	cmake --build $(SANITIZE_BUILD) -j $(JOBS)

# Built, not tested: the optimizer's warnings differ from the other builds'.
release-build:
	cmake -S . -B $(RELEASE_BUILD) -DCMAKE_BUILD_TYPE=Release -DPROBES_WERROR=ON
	cmake --build $(RELEASE_BUILD) -j $(JOBS)

# The collectors with the other compiler, and what they import from it.
clang-build:
	CC=clang CXX=clang++ cmake -S . -B build-clang -DPROBES_TESTS=OFF -DPROBES_BENCH=OFF -DPROBES_WERROR=ON
	cmake --build build-clang -j $(JOBS) --target hostprobe treeprobe labelprobe swprobe probe-sandbox
	tests/imports/check tests/imports/allowed $(foreach p,hostprobe treeprobe labelprobe swprobe,build-clang/$(p)/$(p))

check:
	.ci/install-deps check
	$(MAKE) build sanitize-build release-build WERROR=-DPROBES_WERROR=ON
	$(MAKE) clang-build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)
	ctest --test-dir $(SANITIZE_BUILD) --output-on-failure -j $(JOBS)

demo:
	@sample-host/demo $(BUILD) $(JOBS)

fuzz:
	.ci/install-deps fuzz
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DPROBES_FUZZ=ON -DPROBES_BENCH=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	tests/run-fuzzers $(FUZZ_BUILD) $(FUZZ_SECONDS)

bench: build
	.ci/install-deps bench
	cmake --install $(BUILD) --prefix $(STAGE) >/dev/null
	bench/run $(BUILD)

install: build
	DESTDIR=$(DESTDIR) cmake --install $(BUILD) --prefix $(PREFIX)

# For a host that has its own platform libraries: the programs alone.
install-programs: build
	DESTDIR=$(DESTDIR) cmake --install $(BUILD) --prefix $(PREFIX) --component programs

package: build
	cd $(BUILD) && cpack

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD) $(RELEASE_BUILD) $(FUZZ_BUILD) build-clang
