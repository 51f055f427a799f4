# The two set-up commands: `make demo` and `make test`. Each installs what is missing first.
BUILD ?= build
JOBS  ?= $(shell nproc)

.PHONY: all build demo test configure clean

all: build

configure:
	@test -f $(BUILD)/build.ninja || cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

build:
	@scripts/bootstrap build
	@$(MAKE) --no-print-directory configure
	@cmake --build $(BUILD) -j $(JOBS)

demo:
	@scripts/bootstrap demo
	@$(MAKE) --no-print-directory configure
	@cmake --build $(BUILD) -j $(JOBS)
	@scripts/demo $(BUILD)

test:
	@scripts/bootstrap test
	@$(MAKE) --no-print-directory configure
	@cmake --build $(BUILD) -j $(JOBS)
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# scripts/bench options in BENCH_ARGS (e.g. --before OLD_SERVER); BENCH_ROUNDS, BENCH_SECONDS.
.PHONY: bench
bench:
	@scripts/bootstrap bench
	@$(MAKE) --no-print-directory configure
	@cmake --build $(BUILD) -j $(JOBS)
	@scripts/bench --build $(BUILD) $(BENCH_ARGS)

clean:
	rm -rf $(BUILD)
