# korshaders: the two commands of the README.
#   make            install what is missing, build, render the showcase scene
#   make test       install what is missing, build, run every test
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all deps configure build test showcase catalogue docs bench asan tsan clean format package farm-test

all: showcase

deps:
	@scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) > /dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

# In CI (CI set in the environment) the suite runs a second time under the
# sanitizers.
test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	@scripts/test-ratio.sh
	@if [ -n "$${CI:-}" ] && [ "$(BUILD)" = build ]; then $(MAKE) --no-print-directory asan tsan; fi

# The showcase render (SCENE and IMAGE may be overridden).
SCENE ?= scenes/showcase.json
IMAGE ?= showcase.png
showcase: build
	@$(BUILD)/host/korrender $(SCENE) -o $(IMAGE)
	@echo "wrote $(IMAGE)"

# The shader reference, generated from the declarations in shaders/.
docs: build
	@$(BUILD)/host/korrender --describe-shaders docs/shaders.md
	@echo "wrote docs/shaders.md"

# The library's catalogue, as a host sees it.
catalogue: build
	@$(BUILD)/korinfo $(BUILD)/libkorshaders.so

# A Debian package of the library, korrender and the documents
# (build/korshaders_VERSION_ARCH.deb): apt install ./build/korshaders_*.deb
package: build
	@cd $(BUILD) && cpack -G DEB

# Farm rendering on a one-node Slurm cluster started for the test (also part
# of make test).
farm-test: build
	@tests/farm/slurm_test.sh $(BUILD)/host/korrender .

bench: build
	@$(BUILD)/bench/kor_bench

# The tests under AddressSanitizer and UndefinedBehaviorSanitizer.
asan:
	@$(MAKE) test BUILD=build-asan CMAKE_FLAGS="-DCMAKE_BUILD_TYPE=Debug -DKOR_SANITIZE=address,undefined -DKOR_BUILD_BENCH=OFF"

# The library's tests under ThreadSanitizer (the host is left out).
tsan: deps
	@cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DKOR_SANITIZE=thread -DKOR_BUILD_BENCH=OFF -DKOR_BUILD_HOST=OFF > /dev/null
	@cmake --build build-tsan -j $(JOBS)
	@cd build-tsan && ctest --output-on-failure -j $(JOBS)

format:
	@clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) build-asan build-tsan
