# The front door. CMake does the work; these targets only sequence it.
BUILD ?= build
PACKAGE_BUILD ?= build-package
FUZZ_BUILD ?= build-fuzz
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 60
STAGE = $(BUILD)/stage
PREFIX ?= /usr/local
# Warnings are errors only where asked (make build WERROR=ON): a packager's
# compiler may warn of things ours does not.
WERROR ?= OFF

# make check's builds, each in a folder of its own, so that warnings as
# errors never reach make build, install or package. A tested build runs the
# whole suite; the release build compiles what ships with the optimizer's
# warnings, which differ from the others'. Another build: add its folder to
# a list and its CMake options as FOLDER_OPTIONS.
CHECK_COMPILED = build-release build-clang
CHECK_TESTED = build-check build-sanitize
build-release_OPTIONS = -DCMAKE_BUILD_TYPE=Release -DPROBES_TESTS=OFF -DPROBES_BENCH=OFF
build-check_OPTIONS = -DPROBES_BENCH=OFF
# The other compiler: the collectors must build with it too.
build-clang_OPTIONS = -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DPROBES_TESTS=OFF -DPROBES_BENCH=OFF \
    -- hostprobe treeprobe labelprobe swprobe
build-sanitize_OPTIONS = -DPROBES_SANITIZE=ON -DPROBES_BENCH=OFF

# Debian's hardening flags for what make package ships, where
# dpkg-buildflags is at hand to give them.
buildflags = $(shell DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get $(1) 2>/dev/null)
PACKAGE_CXXFLAGS = $(call buildflags,CPPFLAGS) $(call buildflags,CXXFLAGS)
PACKAGE_LDFLAGS = $(call buildflags,LDFLAGS)

.PHONY: all build check demo fuzz bench install install-programs package format clean

all: build

build:
	@.ci/install-deps build
	cmake -S . -B $(BUILD) -DPROBES_WERROR=$(WERROR)
	cmake --build $(BUILD) -j $(JOBS)

# Quiet: one line per build, then the tests' own output, then every
# skipped case with the command that runs it.
check:
	@.ci/install-deps check
	@$(foreach build,$(CHECK_COMPILED) $(CHECK_TESTED),\
	    .ci/quiet-build $(build) $(JOBS) -DPROBES_WERROR=ON $($(build)_OPTIONS) &&) :
	@tests/imports/check tests/imports/allowed $(foreach p,hostprobe treeprobe labelprobe swprobe,build-clang/$(p)/$(p))
	@status=0; for build in $(CHECK_TESTED); do \
	    ctest --test-dir $$build --output-on-failure -j $(JOBS) || status=1; \
	done; tests/skipped-cases $(CHECK_TESTED); exit $$status

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

# Only what ships, in a folder of its own. rpmbuild keeps a database in
# $HOME: here, the build folder.
package:
	cmake -S . -B $(PACKAGE_BUILD) -DPROBES_TESTS=OFF -DPROBES_BENCH=OFF -DPROBES_WERROR=OFF \
	    -DCMAKE_CXX_FLAGS="$(PACKAGE_CXXFLAGS)" -DCMAKE_C_FLAGS="$(PACKAGE_CXXFLAGS)" \
	    -DCMAKE_EXE_LINKER_FLAGS="$(PACKAGE_LDFLAGS)" -DCMAKE_SHARED_LINKER_FLAGS="$(PACKAGE_LDFLAGS)"
	cmake --build $(PACKAGE_BUILD) -j $(JOBS)
	cd $(PACKAGE_BUILD) && HOME=$$PWD cpack

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(PACKAGE_BUILD) $(FUZZ_BUILD) $(CHECK_COMPILED) $(CHECK_TESTED)
