# Entry points for a fresh Debian machine: `make demo`, `make test` (the plain suite and the two of
# `make check`, each run while the next tree compiles), `make check` (the suite under AddressSanitizer with
# UndefinedBehaviorSanitizer in a Debug build, then under ThreadSanitizer), `make fuzz` (every libFuzzer
# target for FUZZ_TIME seconds) and `make torture` (every allocation of three sessions' lives failing in
# turn).
BUILD ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
BENCH_BUILD ?= build-bench
KYCURL_BENCH_BUILD ?= build-bench-kycurl
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
FUZZ_TIME ?= 60
# Every target in fuzz/fuzz_targets.def, unless a list is given.
FUZZ_TARGETS ?= $(shell sed -n 's/^KYFUZZ_TARGET.\([a-z_]*\).*/\1/p' fuzz/fuzz_targets.def)

SUPPRESSIONS := $(CURDIR)/tools/sanitizers
# Any report fails the test that made it: ASan and UBSan stop the process at the first one, LeakSanitizer
# and ThreadSanitizer make it exit with a failure status. die_after_fork=0: the relay's fork tests start
# threads in a child of a process that has threads, which ThreadSanitizer otherwise refuses.
ASAN_ENV := ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	LSAN_OPTIONS=suppressions=$(SUPPRESSIONS)/lsan.supp:print_suppressions=0
TSAN_ENV := TSAN_OPTIONS=second_deadlock_stack=1:die_after_fork=0:suppressions=$(SUPPRESSIONS)/tsan.supp:print_suppressions=0

.PHONY: all bootstrap configure build build-asan build-tsan demo test check check-asan check-tsan fuzz torture clean

all: build

bootstrap:
	@tools/bootstrap.sh

configure: bootstrap
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	$(BUILD)/bin/kydemo

# The three suites; each tree's suite runs while the next tree compiles (tools/test_suites.sh), and the
# results are printed together at the end. The TSan suite, the longest, goes first and the plain one, the
# shortest, last: the last is the one that runs alone.
test: bootstrap
	+@tools/test_suites.sh $(JOBS) "$(TSAN_BUILD):build-tsan:$(TSAN_ENV)" "$(ASAN_BUILD):build-asan:$(ASAN_ENV)" \
		"$(BUILD):build:"

check: check-asan check-tsan

# A Debug build: besides compiling sooner, it keeps Boost's and the standard library's assertions on (Boost
# aborts when a mutex is unlocked by a thread that does not hold it, which the recursive lock must never do).
build-asan: bootstrap
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKYLIBCURL_SANITIZE=address \
		-DKYLIBCURL_UNITY_PRODUCT=ON $(CMAKE_FLAGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS)

check-asan: build-asan
	$(ASAN_ENV) ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

build-tsan: bootstrap
	cmake -S . -B $(TSAN_BUILD) -G Ninja -DKYLIBCURL_SANITIZE=thread -DKYLIBCURL_UNITY_PRODUCT=ON $(CMAKE_FLAGS)
	cmake --build $(TSAN_BUILD) -j $(JOBS)

check-tsan: build-tsan
	$(TSAN_ENV) ctest --test-dir $(TSAN_BUILD) --output-on-failure -j $(JOBS)

# libFuzzer needs clang; the library is built with coverage instrumentation and ASan + UBSan. A crash
# reproduces with one command, printed in the summary: $(FUZZ_BUILD)/bin/<target>_fuzz <crash-file>.
fuzz: bootstrap
	cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
		-DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link \
		-DKYLIBCURL_SANITIZE=address -DKYLIBCURL_BUILD_FUZZ=ON -DKYLIBCURL_BUILD_TESTS=OFF \
		-DKYLIBCURL_BUILD_TOOLS=OFF $(CMAKE_FLAGS)
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	tools/run_fuzzers.sh $(FUZZ_BUILD) $(FUZZ_TIME) $(FUZZ_TARGETS)

# Allocation torture: every allocation of three sessions' lives fails in turn, one forked run each; any run
# that aborts, crashes, hangs, leaks or spoils the next request is reported and fails the target. Seconds;
# TORTURE_FLAGS="--tls" adds HTTPS requests (some 10,000 runs, minutes), "--scenario routed --first 100
# --last 200" or "--stride 10" runs fewer.
TORTURE_FLAGS ?=
torture: build
	cmake --build $(BUILD) -j $(JOBS) --target alloc_torture
	$(BUILD)/bin/alloc_torture --jobs $(JOBS) $(TORTURE_FLAGS)

# Benchmarks (bench/README.md): a Release build of their own, then one table. valgrind counts instructions;
# nginx serves the figure of sessions made per request.
.PHONY: bench
bench:
	@tools/bootstrap.sh valgrind nginx
	cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DKYLIBCURL_BUILD_BENCH=ON \
		-DKYLIBCURL_BUILD_TESTS=OFF -DKYLIBCURL_BUILD_TOOLS=OFF $(CMAKE_FLAGS)
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target kybench kybench_server
	$(BENCH_BUILD)/bin/kybench $(BENCH_FLAGS)

# kycurl against the curl tool on a 100 MiB download (bench/README.md): wall time and peak memory.
.PHONY: bench-kycurl
bench-kycurl:
	@tools/bootstrap.sh curl time
	cmake -S . -B $(KYCURL_BENCH_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DKYLIBCURL_BUILD_BENCH=ON \
		-DKYLIBCURL_BUILD_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build $(KYCURL_BENCH_BUILD) -j $(JOBS) --target kycurl kybench_server
	bench/kycurl/download_vs_curl.sh $(KYCURL_BENCH_BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD)
	rm -rf $(BENCH_BUILD) $(KYCURL_BENCH_BUILD)
