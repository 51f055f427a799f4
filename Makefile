# The two set-up commands: `make demo` and `make test`. Each installs what is missing first.
BUILD ?= build
JOBS  ?= $(shell nproc)
CMAKE_ARGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all build demo test stress clean

all: build

# Set-up, configure and build: what every target starts with. $(1) is the bootstrap's mode.
define prepare
	@scripts/bootstrap $(1)
	@test -f $(BUILD)/build.ninja || cmake -S . -B $(BUILD) -G Ninja $(CMAKE_ARGS)
	@cmake --build $(BUILD) -j $(JOBS)
endef

build:
	$(call prepare,build)

demo:
	$(call prepare,demo)
	@scripts/demo $(BUILD)

test:
	$(call prepare,test)
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# Load and fault runs on loopback, about 15 minutes (docs/testing.md).
stress:
	$(call prepare,stress)
	@scripts/stress $(BUILD)

clean:
	rm -rf $(BUILD)
