# Two commands cover daily work: `make run` (release build, then start the server) and
# `make test` (sanitizer build, then every test through ctest). Both install the Debian packages
# they need (scripts/deps.sh) and configure on first use.
ARGS ?=
JOBS ?= $(shell nproc)
# Looked up when a tree is configured, after the packages (Ninja among them) are installed.
GENERATOR = $(shell command -v ninja >/dev/null 2>&1 && echo "-G Ninja")
# Our own trees treat warnings as errors (a plain CMake build does not). A tree is configured
# again when this file changes, so an option added here reaches trees configured before.
CONFIGURE = cmake -S . -B $(@D) $(if $(wildcard $@),,$(GENERATOR)) -DPLCDOUBLE_WERROR=ON

# The package groups of scripts/deps.sh that each goal needs, checked once per make run before
# anything is configured.
DEPS_all = build
DEPS_release = build
DEPS_run = build
DEPS_bench = build
DEPS_debug = build test
DEPS_test = build test fuzz
DEPS_fuzz = build fuzz
DEPS_windows = build windows
DEPS_lint = build test
DEPS_deps = build test fuzz windows

.PHONY: all deps release debug run test bench clean format format-check lint fuzz

all: release

deps:
	@sh scripts/deps.sh $(sort $(foreach goal,$(or $(MAKECMDGOALS),all),$(DEPS_$(goal))))

build/release/CMakeCache.txt: Makefile | deps
	$(CONFIGURE) -DCMAKE_BUILD_TYPE=Release -DPLCDOUBLE_TESTS=OFF
	touch $@

build/debug/CMakeCache.txt: Makefile | deps
	$(CONFIGURE) -DCMAKE_BUILD_TYPE=Debug -DPLCDOUBLE_SANITIZE=ON -DPLCDOUBLE_INTEROP_TESTS=ON
	touch $@

release: deps build/release/CMakeCache.txt
	cmake --build build/release -j $(JOBS)

debug: deps build/debug/CMakeCache.txt
	cmake --build build/debug -j $(JOBS)

# The same program for 64-bit Windows, cross-built with MinGW-w64: build/windows/plcdouble.exe
.PHONY: windows
build/windows/CMakeCache.txt: Makefile | deps
	$(CONFIGURE) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
		-DCMAKE_BUILD_TYPE=Release -DPLCDOUBLE_TESTS=OFF
	touch $@

windows: deps build/windows/CMakeCache.txt
	cmake --build build/windows -j $(JOBS)

run: release
	./build/release/plcdouble $(ARGS)

test: deps debug
	ctest --test-dir build/debug --output-on-failure -j $(JOBS)

# The stream fuzzer (clang, build/fuzz) for SECONDS seconds; `make test` runs it for 60.
SECONDS ?= 60
fuzz: deps
	sh fuzz/run.sh $(SECONDS)

# Measures the release server against the machine's loopback limit; see README.
bench: release
	bench/run_bench.sh

# Every C++ file git tracks (src, tests, bench, fuzz; nothing generated or vendored is tracked),
# with the clang-format of Debian 12, whose output the tree follows (scripts/deps.sh: test).
CLANG_FORMAT ?= $(shell command -v clang-format-14 || echo clang-format)
format:
	$(CLANG_FORMAT) -i $$(git ls-files '*.cpp' '*.h')

# Changes nothing; lists what `make format` would change and fails if there is any.
format-check:
	$(CLANG_FORMAT) --dry-run -Werror $$(git ls-files '*.cpp' '*.h')

# clang-tidy with .clang-tidy over src/ and its headers, through the compile database of the
# sanitizer tree (configured, not necessarily built). LINT_DIRS="src tests bench" takes in more.
LINT_DIRS ?= src
lint: deps build/debug/CMakeCache.txt
	bash scripts/lint.sh --build build/debug $(LINT_DIRS)

clean:
	rm -rf build
