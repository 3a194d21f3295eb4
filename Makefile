# The two commands of the README: `make run` and `make test`. Each installs what is missing first.
.PHONY: run build test tsan bench deps clean

ARGS ?=
JOBS ?= $(shell nproc)

deps:
	@bash scripts/install-deps.sh

build: deps
	@cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DPELMOX_TESTS=OFF >/dev/null
	@ninja -C build pelmox

run: build
	./build/pelmox $(ARGS)

# AddressSanitizer and UndefinedBehaviorSanitizer over every test: unit tests and the real executable
# against the fake provider.
test: deps
	@cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPELMOX_SANITIZE=address,undefined >/dev/null
	@ninja -C build-asan -j $(JOBS)
	@cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
		ctest --output-on-failure -j $(JOBS)

# The concurrency tests under ThreadSanitizer.
tsan: deps
	@cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPELMOX_SANITIZE=thread >/dev/null
	@ninja -C build-tsan -j $(JOBS)
	@cd build-tsan && ctest --output-on-failure -j $(JOBS)

bench: deps
	@cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DPELMOX_TESTS=OFF >/dev/null
	@ninja -C build pelmox fake_provider
	@bash bench/run.sh build

clean:
	rm -rf build build-asan build-tsan
