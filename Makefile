# zr48: the driver, its host platform, card model, simulator and tools.
#   make check   install what is missing, build everything, run every test
#   make demo    install what is missing, build, run the two-adapter simulation
#   make bench   benchmarks
SHELL := /bin/bash
JOBS ?= $(shell nproc)
BUILD ?= build
CMAKE_GEN := -G Ninja

.PHONY: all deps host asan windows test test-asan check clean

all: host

deps:
	@scripts/install-deps.sh

host: deps
	cmake -S . -B $(BUILD)/host $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD)/host -j $(JOBS)

asan: deps
	cmake -S . -B $(BUILD)/asan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DZR48_SANITIZE=ON
	cmake --build $(BUILD)/asan -j $(JOBS)

windows: deps
	@for arch in i686 x86_64; do \
	  cmake -S windows -B $(BUILD)/win-$$arch $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release \
	    -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/windows/toolchain-$$arch.cmake || exit 1; \
	  cmake --build $(BUILD)/win-$$arch -j $(JOBS) || exit 1; \
	done

test: host
	ctest --test-dir $(BUILD)/host --output-on-failure -j $(JOBS)

test-asan: asan
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(BUILD)/asan --output-on-failure -j $(JOBS)

check: deps windows test test-asan
	@echo "make check: all builds and tests passed"

clean:
	rm -rf $(BUILD)
