# The two commands of the README: `make test` and `make run`. Both install what is missing first.
PRESET ?= default
PORT ?= 8080
JOBS ?= $(shell nproc)
SECONDS ?= 60

.PHONY: deps configure build test test-asan run release bench fuzz clean format

deps:
	@scripts/install-deps build

configure: deps
	@cmake --preset $(PRESET) >/dev/null

build: configure
	@cmake --build --preset $(PRESET) -j $(JOBS)

test: build
	@ctest --preset $(PRESET)

test-asan:
	@$(MAKE) --no-print-directory test PRESET=asan

release:
	@$(MAKE) --no-print-directory build PRESET=release

# Builds only the program it runs.
run: deps
	@cmake --preset release >/dev/null
	@cmake --build --preset release -j $(JOBS) --target quorvin-serve
	build/release/apps/quorvin-serve --root examples/site --port $(PORT) --bind 127.0.0.1

bench:
	@scripts/install-deps build bench
	@$(MAKE) --no-print-directory release
	@bench/run

# Builds the fuzzers (clang, coverage and the sanitizers) and runs each for SECONDS on its corpus.
fuzz:
	@scripts/install-deps build fuzz
	@cmake --preset fuzz >/dev/null
	@cmake --build --preset fuzz -j $(JOBS)
	@tests/fuzz/run $(SECONDS)

clean:
	rm -rf build

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i
