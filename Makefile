# zr48: the driver, its host platform, card model, simulator and tools.
#   make check   install what is missing, build everything, run every test
#   make demo    install what is missing, build, run the two-adapter simulation
#   make bench   benchmarks
#   make bench-line  TCP goodput over the simulated line (root, real time)
#   make e2e     the end-to-end tests (root: TAP devices, namespaces, real time)
#   make e2e-image  ping and a TCP transfer end to end on the x64 driver image
#   make test-tsan  ThreadSanitizer over the concurrent tests and a simulator run
#   make check-loaded  the tests three times with every core kept busy
#   make windows the Windows packages, build/package/{x86,amd64} (FIRMWARE=PATH)
#   make fuzz    each fuzz target for FUZZ_SECONDS (default 300) from its corpus
SHELL := /bin/bash
JOBS ?= $(shell nproc)
BUILD ?= build
CMAKE_GEN := -G Ninja

.PHONY: all deps host asan tsan test-tsan check-loaded windows windows-driver windows-tools \
  windows-check test test-asan e2e e2e-image fuzz-build fuzz fuzz-check check demo bench bench-line clean

all: host

deps:
	@scripts/install-deps.sh

# The x64 driver image the "image" tests run (make windows builds it).
DRIVER_IMAGE := $(abspath $(BUILD))/win-x86_64/zr48.sys

host: deps
	cmake -S . -B $(BUILD)/host $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DZR48_DRIVER_IMAGE_FILE=$(DRIVER_IMAGE)
	cmake --build $(BUILD)/host -j $(JOBS)

asan: deps
	cmake -S . -B $(BUILD)/asan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DZR48_SANITIZE=ON
	cmake --build $(BUILD)/asan -j $(JOBS)

# The driver images (each checked as it is linked; the checks' own tests in ctest).
windows-driver: deps
	@for arch in i686 x86_64; do \
	  cmake -S windows -B $(BUILD)/win-$$arch $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release \
	    -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/windows/toolchain-$$arch.cmake || exit 1; \
	  cmake --build $(BUILD)/win-$$arch -j $(JOBS) || exit 1; \
	done

# zr48stat for Windows: a user-mode console program (IOCTL_NDIS_QUERY_GLOBAL_STATS).
windows-tools: deps
	@for arch in i686 x86_64; do \
	  cmake -S tools/windows -B $(BUILD)/zr48stat-win-$$arch $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release \
	    -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/windows/toolchain-$$arch.cmake || exit 1; \
	  cmake --build $(BUILD)/zr48stat-win-$$arch -j $(JOBS) || exit 1; \
	done

# The installable packages, $(PACKAGE)/x86 and $(PACKAGE)/amd64: INF, signed
# driver and zr48stat.exe, firmware as zr48.bin, signed catalog.
#   FIRMWARE=PATH   the transceiver image to package (the card maker's); by
#                   default the card model's generated image
#   SIGN_CERT=PEM SIGN_KEY=PEM   a certificate of your own; by default a test
#                   certificate made once in $(PACKAGE)/test-certificate
PACKAGE := $(BUILD)/package
FIRMWARE ?=
SIGN_CERT ?= $(PACKAGE)/test-certificate/zr48-test.pem
SIGN_KEY ?= $(PACKAGE)/test-certificate/zr48-test.key
windows: windows-driver windows-tools
	@if [ -z "$(FIRMWARE)" ]; then \
	  mkdir -p $(PACKAGE)/firmware && \
	  g++ -std=c++17 -O2 -I. cardmodel/tools/zr48fwgen.cpp cardmodel/firmware.cpp \
	    -o $(PACKAGE)/firmware/zr48fwgen && \
	  $(PACKAGE)/firmware/zr48fwgen $(PACKAGE)/firmware/zr48.bin >/dev/null || exit 1; \
	  echo "firmware: the card model's generated image (cardmodel/tools/zr48fwgen), NOT the card maker's;"; \
	  echo "          give the card maker's with FIRMWARE=PATH"; \
	else \
	  echo "firmware: $(FIRMWARE) (FIRMWARE=)"; \
	fi
	@if [ "$(SIGN_CERT)" = "$(PACKAGE)/test-certificate/zr48-test.pem" ]; then \
	  windows/make-test-cert.sh $(PACKAGE)/test-certificate || exit 1; \
	fi
	@fw="$(FIRMWARE)"; fw=$${fw:-$(PACKAGE)/firmware/zr48.bin}; \
	windows/package.sh x86 $(BUILD)/win-i686/zr48.sys $(BUILD)/zr48stat-win-i686/zr48stat.exe \
	  "$$fw" "$(SIGN_CERT)" "$(SIGN_KEY)" $(PACKAGE)/x86 && \
	windows/package.sh amd64 $(BUILD)/win-x86_64/zr48.sys $(BUILD)/zr48stat-win-x86_64/zr48stat.exe \
	  "$$fw" "$(SIGN_CERT)" "$(SIGN_KEY)" $(PACKAGE)/amd64

# The checks' tests (each fed images and packages built wrong), then both
# packages checked whole, every signature verified, and the x64 zr48stat.exe
# run under Wine.
windows-check: windows
	ctest --test-dir $(BUILD)/win-i686 --output-on-failure -j $(JOBS)
	ctest --test-dir $(BUILD)/win-x86_64 --output-on-failure -j $(JOBS)
	windows/check-package.sh x86 $(PACKAGE)/x86 "$(SIGN_CERT)"
	windows/check-package.sh amd64 $(PACKAGE)/amd64 "$(SIGN_CERT)"
	windows/tests/test_package.sh $(PACKAGE)/amd64 "$(SIGN_CERT)" "$(SIGN_KEY)"
	windows/tests/test_zr48stat_wine.sh $(PACKAGE)/amd64

# The black-box driver tests run on the driver image too once it is built
# (make windows; make check builds it first).
test: host
	@if [ -f $(DRIVER_IMAGE) ]; then \
	  ctest --test-dir $(BUILD)/host --output-on-failure -j $(JOBS); \
	else \
	  echo "test: no driver image at $(DRIVER_IMAGE) (make windows): the image tests are left out"; \
	  ctest --test-dir $(BUILD)/host --output-on-failure -j $(JOBS) -LE image; \
	fi

test-asan: asan
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(BUILD)/asan --output-on-failure -j $(JOBS)

# The fuzz targets (fuzz/): libFuzzer with clang, AddressSanitizer and UBSan,
# in a build directory of their own. `make fuzz` runs each for FUZZ_SECONDS
# from its corpus in the tree (new inputs and crashes go to $(BUILD)/fuzz);
# `make check` runs each for FUZZ_CHECK_SECONDS, the whole corpus first, so
# that a regression on a known input fails.
FUZZ_SECONDS ?= 300
FUZZ_CHECK_SECONDS ?= 30
fuzz-build: deps
	cmake -S . -B $(BUILD)/fuzz $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 -DZR48_FUZZ=ON
	cmake --build $(BUILD)/fuzz -j $(JOBS) --target fuzz_targets

fuzz: fuzz-build
	fuzz/run.sh $(BUILD)/fuzz $(FUZZ_SECONDS)

fuzz-check: fuzz-build
	fuzz/run.sh $(BUILD)/fuzz $(FUZZ_CHECK_SECONDS)

# ThreadSanitizer: the test programs that run on concurrent processors and a
# bounded zr48sim run with traffic, cuts and resets (scripts/tsan.sh); only
# the three intentional idioms in scripts/tsan.supp are suppressed.
TSAN_TARGETS := host_tests driver_foundation_tests driver_datapath_tests \
  driver_requests_tests sim_tests zr48sim zr48stat
tsan: deps
	cmake -S . -B $(BUILD)/tsan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZR48_TSAN=ON
	cmake --build $(BUILD)/tsan -j $(JOBS) --target $(TSAN_TARGETS)

test-tsan: tsan
	scripts/tsan.sh $(BUILD)/tsan

# The test programs three times in a row with every core kept busy by a CPU
# hog: no test may depend on how its threads are scheduled.
check-loaded: host
	scripts/check-loaded.sh $(BUILD)/host

# End-to-end, in real time, as root: two namespaces, two TAP devices, two
# driver instances; ping, iperf3, a line cut and resets during transfers.
e2e: host
	tests/e2e/run.sh $(BUILD)/host

# One end-to-end run on the Windows driver image: ping and a TCP transfer.
e2e-image: host windows-driver
	tests/e2e/run.sh --driver $(DRIVER_IMAGE) $(BUILD)/host ping_both_ways tcp_transfer_goodput

check: deps windows windows-check test test-asan test-tsan fuzz-check e2e e2e-image
	@echo "make check: all builds and tests passed"

# Two adapters: firmware download, bring-up, training, traffic both ways, a
# line cut and recovery, both statistics blocks, a clean halt, and an SVG
# picture of the run (its path printed at the end).
demo: deps
	cmake -S . -B $(BUILD)/host $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD)/host -j $(JOBS) --target zr48sim zr48stat
	sim/demo.sh $(BUILD)/host

# Every benchmark, then one table of their figures from this run: each figure,
# its goal, met or not (bench/summary.py). The simulator against a plain
# forwarder and how many line pairs it carries; the driver's data path per
# frame (time, then instructions of driver code counted by callgrind, which
# wants the debug information); the verifier's ledger; and, as root, TCP
# goodput over the simulated line (bench/line.sh; without root its rows say
# "not run").
BENCH_FIGURES := $(BUILD)/bench/figures.txt
bench: deps
	cmake -S . -B $(BUILD)/bench $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DZR48_DRIVER_IMAGE_FILE=$(DRIVER_IMAGE)
	cmake --build $(BUILD)/bench -j $(JOBS) --target sim_bench driver_bench ledger_bench zr48sim
	@rm -f $(BENCH_FIGURES)
	ZR48_BENCH_FIGURES=$(abspath $(BENCH_FIGURES)) $(BUILD)/bench/bench/sim_bench
	ZR48_BENCH_FIGURES=$(abspath $(BENCH_FIGURES)) $(BUILD)/bench/bench/driver_bench
	ZR48_BENCH_FIGURES=$(abspath $(BENCH_FIGURES)) $(BUILD)/bench/bench/ledger_bench
	ZR48_BENCH_FIGURES=$(abspath $(BENCH_FIGURES)) DRIVER_BENCH=$(BUILD)/bench/bench/driver_bench \
	  bench/callgrind.sh receive/60 receive/1514 send/60 send/1514
	ZR48_BENCH_FIGURES=$(abspath $(BENCH_FIGURES)) bench/line.sh $(BUILD)/bench 8
	@bench/summary.py $(BENCH_FIGURES)

# TCP goodput through two drivers over the simulated line at 192, 2048, 5696
# and 6016 kbit/s, both directions, against the line rate (root, real time).
bench-line: host
	bench/line.sh $(BUILD)/host

clean:
	rm -rf $(BUILD)
