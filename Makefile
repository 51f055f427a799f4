# The two set-up commands: `make demo` and `make test`. Each installs what is missing first.
BUILD ?= build
JOBS  ?= $(shell nproc)
CMAKE_ARGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all build demo test bench check-asan check-tsan fuzz stress clean

all: build

# Set-up, configure and build: what every target starts with. $(1) is the bootstrap's mode;
# $(2), when given, the build targets (all of them otherwise).
define prepare
	@scripts/bootstrap $(1)
	@test -f $(BUILD)/build.ninja || cmake -S . -B $(BUILD) -G Ninja $(CMAKE_ARGS)
	@cmake --build $(BUILD) -j $(JOBS) $(if $(2),--target $(2))
endef

build:
	$(call prepare,build)

demo:
	$(call prepare,demo)
	@scripts/demo $(BUILD)

test:
	$(call prepare,test)
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# scripts/bench options in BENCH_ARGS (e.g. --before OLD_SERVER); BENCH_ROUNDS, BENCH_SECONDS.
bench:
	$(call prepare,bench)
	@scripts/bench --build $(BUILD) $(BENCH_ARGS)

# Sanitizer builds (clang), each in its own folder; any report fails the target
# (scripts/sanitized-ctest). docs/testing.md says more.
CLANG_ARGS = -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++

check-asan: BUILD = build-asan
check-asan: CMAKE_ARGS = $(CLANG_ARGS) -DVELMORA_SANITIZE=address,undefined
check-asan:
	$(call prepare,sanitize)
	@scripts/sanitized-ctest $(BUILD) -j $(JOBS)

# ThreadSanitizer: the tests where threads meet, built and run alone (OvStringTest, for one,
# replaces operator new, which ThreadSanitizer's runtime defines too).
TSAN_TESTS ?= ServiceModeTest ServiceModeEndToEndTest ServiceModeConcurrencyTest HttpSessionTest HttpMemoryTest \
              GatewayTest
empty :=
space := $(empty) $(empty)
check-tsan: BUILD = build-tsan
check-tsan: CMAKE_ARGS = $(CLANG_ARGS) -DVELMORA_SANITIZE=thread
check-tsan:
	$(call prepare,sanitize,$(TSAN_TESTS))
	@scripts/sanitized-ctest $(BUILD) -j $(JOBS) -R '^($(subst $(space),|,$(strip $(TSAN_TESTS))))$$'

# libFuzzer targets (tests/fuzz), each run for FUZZ_SECONDS; FUZZ_TARGETS picks some.
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?=
fuzz: BUILD = build-fuzz
fuzz: CMAKE_ARGS = $(CLANG_ARGS) -DVELMORA_FUZZ=ON
fuzz:
	$(call prepare,fuzz)
	@scripts/fuzz $(BUILD) $(FUZZ_SECONDS) $(FUZZ_TARGETS)

# Load and fault runs on loopback, about 15 minutes (docs/testing.md).
stress:
	$(call prepare,stress)
	@scripts/stress $(BUILD)

clean:
	rm -rf $(BUILD)
