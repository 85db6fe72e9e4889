# korshaders: the two commands of the README.
#   make            install what is missing, build, render the showcase scene
#   make test       install what is missing, build, run every test
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo
# Code is compiled for this machine's processor; NATIVE=0 builds code that
# runs on any x86-64 processor, as the package always is.
NATIVE ?= 1
NATIVE_FLAGS = -DKOR_NATIVE=$(if $(filter 1,$(NATIVE)),ON,OFF)

.PHONY: all deps configure build test showcase catalogue docs bench asan tsan fuzz fuzz-deps clean format package farm-test

all: showcase

deps:
	@scripts/install-deps.sh

# Release builds are optimised with the profile of training renders (PGO=0
# builds without): an instrumented library and host in $(BUILD)/pgo-train
# render the training scenes (scripts/pgo-train.sh) whenever a source has
# changed since the last training, and $(BUILD) is compiled with the counts
# they leave in $(BUILD)/pgo-profile. Debug and sanitizer builds never are.
PGO ?= $(if $(or $(findstring Debug,$(CMAKE_FLAGS)),$(findstring KOR_SANITIZE,$(CMAKE_FLAGS))),0,1)
PGO_DIR = $(abspath $(BUILD))/pgo-profile
ifeq ($(PGO),1)
PGO_FLAGS = -DKOR_PGO=use -DKOR_PGO_DIR=$(PGO_DIR)
PGO_PROFILE = $(PGO_DIR)/trained
else
PGO_FLAGS = -DKOR_PGO=
PGO_PROFILE =
endif
PGO_SOURCES := $(shell find src host include shaders -type f) CMakeLists.txt scripts/pgo-train.sh

$(PGO_DIR)/trained: $(PGO_SOURCES) | deps
	@cmake -S . -B $(BUILD)/pgo-train $(CMAKE_FLAGS) $(NATIVE_FLAGS) -DKOR_PGO=generate -DKOR_PGO_DIR=$(PGO_DIR) \
	  -DKOR_BUILD_TESTS=OFF -DKOR_BUILD_BENCH=OFF > /dev/null
	@cmake --build $(BUILD)/pgo-train -j $(JOBS) --target korrender korshaders
	@scripts/pgo-train.sh $(BUILD)/pgo-train $(PGO_DIR)
	@touch $@

configure: deps $(PGO_PROFILE)
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) $(NATIVE_FLAGS) $(PGO_FLAGS) > /dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

# In CI (CI set in the environment) the suite runs a second time under the
# sanitizers.
test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS) $(CTEST_FLAGS)
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
package:
	@$(MAKE) --no-print-directory build NATIVE=0
	@cd $(BUILD) && cpack -G DEB

# Farm rendering on a one-node Slurm cluster started for the test (also part
# of make test).
farm-test: build
	@tests/farm/slurm_test.sh $(BUILD)/host/korrender .

bench: build
	@$(BUILD)/bench/kor_bench

# Tests labelled unsanitized (packaging, farm) are left out of the sanitized
# runs.
SANITIZED_SKIP = -LE unsanitized

# The tests under AddressSanitizer and UndefinedBehaviorSanitizer, with
# LeakSanitizer's check at the exit of every program (no suppressions).
asan:
	@ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  $(MAKE) test BUILD=build-asan PGO=0 CMAKE_FLAGS="-DCMAKE_BUILD_TYPE=Debug -DKOR_SANITIZE=address,undefined -DKOR_BUILD_BENCH=OFF" \
	  CTEST_FLAGS="$(SANITIZED_SKIP)"

# The tests under ThreadSanitizer: the library's tests and the host's
# two-thread render of every example scene (the tests labelled threads).
tsan: deps
	@cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DKOR_SANITIZE=thread -DKOR_BUILD_BENCH=OFF -DKOR_BUILD_TESTS=ON -DKOR_BUILD_HOST=ON > /dev/null
	@cmake --build build-tsan -j $(JOBS)
	@cd build-tsan && TSAN_OPTIONS=halt_on_error=1:suppressions=$(CURDIR)/tests/tsan.supp \
	  ctest --output-on-failure -j $(JOBS) -L threads

# The libFuzzer targets of the host's loaders (clang), each run for
# FUZZ_SECONDS from the corpus in tests/fuzz/corpus/TARGET; new inputs go
# to build-fuzz/corpus/TARGET, a crashing input to build-fuzz/crashes/TARGET.
# The image target, slow in the image libraries' own code, leaves leaks
# (also the check at its exit) to the corpus replay of `make asan`, which
# runs with full stacks, so that third-party leaks are suppressed by name.
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?= scene obj image profile
fuzz-deps:
	@scripts/install-deps.sh --fuzz
fuzz: build fuzz-deps
	@cmake -S . -B build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOR_FUZZ=ON -DKOR_BUILD_TESTS=OFF -DKOR_BUILD_BENCH=OFF \
	  -DKOR_FUZZ_SHADER_LIBRARY=$(CURDIR)/$(BUILD)/libkorshaders.so > /dev/null
	@cmake --build build-fuzz -j $(JOBS) --target $(addprefix kor_fuzz_,$(FUZZ_TARGETS))
	@for t in $(FUZZ_TARGETS); do \
	  mkdir -p build-fuzz/corpus/$$t build-fuzz/crashes/$$t; \
	  dict=; [ -f tests/fuzz/$$t.dict ] && dict=-dict=tests/fuzz/$$t.dict; \
	  echo "fuzz: $$t for $(FUZZ_SECONDS) s"; \
	  limits="-timeout=10"; asan=; \
	  if [ $$t = image ]; then limits="-timeout=60 -detect_leaks=0"; asan=detect_leaks=0; fi; \
	  ASAN_OPTIONS=$$asan LSAN_OPTIONS=suppressions=$(CURDIR)/tests/fuzz/lsan.supp \
	  build-fuzz/tests/fuzz/kor_fuzz_$$t build-fuzz/corpus/$$t tests/fuzz/corpus/$$t $$dict \
	    -max_total_time=$(FUZZ_SECONDS) $$limits -rss_limit_mb=2048 -print_final_stats=1 \
	    -artifact_prefix=build-fuzz/crashes/$$t/ || exit 1; \
	done

format:
	@clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz
