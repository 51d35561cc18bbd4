# The two set-up commands of the README: `make run` and `make test`.
JOBS ?= 2
TEST_BUILD ?= build/test
RUN_BUILD ?= build/release
DEMO_PREFIX ?= $(CURDIR)/var/demo
FUZZ_BUILD ?= build/fuzz
FUZZ_SECONDS ?= 60

.PHONY: deps test build-test run build-release fuzz bench clean

deps:
	@scripts/install-deps

build-test: deps
	cmake -S . -B $(TEST_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZEMIR_SANITIZE=ON -DZEMIR_BENCH=OFF
	cmake --build $(TEST_BUILD) -j$(JOBS)

test: build-test
	scripts/run-tests $(TEST_BUILD)

build-release: deps
	cmake -S . -B $(RUN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DZEMIR_TESTS=OFF
	cmake --build $(RUN_BUILD) -j$(JOBS)

run: build-release
	ZEMIR_PREFIX=$(DEMO_PREFIX) scripts/run-demo $(RUN_BUILD)

# The libFuzzer targets, built with clang in their own folder and run FUZZ_SECONDS each.
fuzz: deps
	cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DZEMIR_FUZZ=ON -DZEMIR_BENCH=OFF \
	  "-DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer" \
	  "-DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
	cmake --build $(FUZZ_BUILD) -j$(JOBS) --target fuzz_pdu fuzz_stub
	fuzz/run-fuzz $(FUZZ_BUILD) $(FUZZ_SECONDS)

bench: build-release
	scripts/run-bench $(RUN_BUILD)

clean:
	rm -rf build
