# Two commands cover daily work: `make run` (release build, then start the server) and
# `make test` (sanitizer build, then every test through ctest). Both configure on first use.
ARGS ?=
JOBS ?= $(shell nproc)
GENERATOR := $(shell command -v ninja >/dev/null 2>&1 && echo "-G Ninja")

.PHONY: all release debug run test bench clean format fuzz

all: release

build/release/CMakeCache.txt:
	cmake -S . -B build/release $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DPLCDOUBLE_TESTS=OFF

build/debug/CMakeCache.txt:
	cmake -S . -B build/debug $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DPLCDOUBLE_SANITIZE=ON

release: build/release/CMakeCache.txt
	cmake --build build/release -j $(JOBS)

debug: build/debug/CMakeCache.txt
	cmake --build build/debug -j $(JOBS)

# The same program for 64-bit Windows, cross-built with MinGW-w64: build/windows/plcdouble.exe
.PHONY: windows
build/windows/CMakeCache.txt:
	cmake -S . -B build/windows $(GENERATOR) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
		-DCMAKE_BUILD_TYPE=Release -DPLCDOUBLE_TESTS=OFF

windows: build/windows/CMakeCache.txt
	cmake --build build/windows -j $(JOBS)

run: release
	./build/release/plcdouble $(ARGS)

test: debug
	ctest --test-dir build/debug --output-on-failure -j $(JOBS)

# The stream fuzzer (clang, build/fuzz) for SECONDS seconds; `make test` runs it for 60.
SECONDS ?= 60
fuzz:
	sh fuzz/run.sh $(SECONDS)

# Measures the release server against the machine's loopback limit; see README.
bench: release
	bench/run_bench.sh

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build
