# Quovix top-level build. `make` builds the program, `make test` runs every test
# (plain and sanitizer builds), `make demo` fuses the bundled sample images,
# `make install PREFIX=$HOME/.local` installs without root, `make fuzz` fuzzes
# the input readers, the command line, the metadata copy, transform files and
# scratch files (clang).
BUILD      ?= build
ASAN_BUILD ?= build-asan
BENCH_BUILD ?= build-bench
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 300
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
PREFIX     ?= /usr/local

.PHONY: all deps configure quovix test test-plain test-asan demo bench install fuzz clean

all: quovix

deps:
	@./scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX="$(PREFIX)" >/dev/null

quovix: configure
	@cmake --build $(BUILD) -j $(JOBS) --target quovix

test: test-plain test-asan

test-plain: configure
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The leak check at exit crashes on the dynamic TLS that OpenCV's libraries
# leave with Debian's glibc unless the sanitizer leaves __tls_get_addr alone.
ASAN_TEST_OPTIONS = detect_leaks=1:allocator_may_return_null=1:intercept_tls_get_addr=0

test-asan: deps
	@cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUOVIX_SANITIZE=ON >/dev/null
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=$(ASAN_TEST_OPTIONS) UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j $(JOBS)

demo: quovix
	@./examples/run-demo.sh $(BUILD)/quovix

install: quovix
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

# The benchmarks get a build of their own, so that `make` and `make test` never
# compile them.
bench: deps
	@cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUOVIX_BENCH=ON -DBUILD_TESTING=OFF >/dev/null
	cmake --build $(BENCH_BUILD) -j $(JOBS)
	@./bench/run-bench.sh $(BENCH_BUILD)
	@./bench/compare-enfuse.sh $(BENCH_BUILD)

# Each fuzz target for FUZZ_SECONDS on one core, on a scratch copy of its
# corpus; new inputs and crash artifacts stay in $(FUZZ_BUILD)/fuzz-runs.
fuzz:
	@./scripts/install-deps.sh fuzz
	@CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUOVIX_FUZZ=ON \
		-DBUILD_TESTING=OFF >/dev/null
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target quovix_fuzzers
	@./fuzz/run-fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(BENCH_BUILD) $(FUZZ_BUILD)
