# Quovix top-level build. `make` builds the program, `make test` runs every test
# (plain and sanitizer builds), `make demo` fuses the bundled sample images.
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps configure quovix test test-plain test-asan demo bench clean

all: quovix

deps:
	@./scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

quovix: configure
	@cmake --build $(BUILD) -j $(JOBS) --target quovix

test: test-plain test-asan

test-plain: configure
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan: deps
	@cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUOVIX_SANITIZE=ON >/dev/null
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j $(JOBS)

demo: quovix
	@./examples/run-demo.sh $(BUILD)/quovix

bench: configure
	cmake --build $(BUILD) -j $(JOBS)
	@./bench/run-bench.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
