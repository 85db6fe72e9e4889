# korshaders: the two commands of the README.
#   make            install what is missing, build, render the showcase scene
#   make test       install what is missing, build, run every test
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all deps configure build test showcase bench asan clean format

all: showcase

deps:
	@scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) > /dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

showcase: build
	@$(BUILD)/korinfo $(BUILD)/libkorshaders.so

bench: build
	@$(BUILD)/bench/kor_bench

# The tests under AddressSanitizer and UndefinedBehaviorSanitizer.
asan:
	@$(MAKE) test BUILD=build-asan CMAKE_FLAGS="-DCMAKE_BUILD_TYPE=Debug -DKOR_SANITIZE=address,undefined -DKOR_BUILD_BENCH=OFF"

format:
	@clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) build-asan
