# The two commands of the README: `make run` and `make test`.
BUILD_DIR ?= build
JOBS ?= $(shell nproc)
CMAKE_ARGS ?=
ifeq ($(CI),true)
CMAKE_ARGS += -DOSTERVEIL_WERROR=ON
endif
ifdef SANITIZE
CMAKE_ARGS += -DSANITIZE=$(SANITIZE)
endif

.PHONY: all deps configure build test run bench clean

all: build

deps:
	@scripts/install-deps

configure: deps
	cmake -S . -B $(BUILD_DIR) -G Ninja $(CMAKE_ARGS)

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

# A sanitizer build reads the leak suppressions: what system libraries keep for the life of the process.
test: build
	cd $(BUILD_DIR) && $(if $(SANITIZE),LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan-suppressions.txt) \
		ctest --output-on-failure -j $(JOBS)

run: build
	$(BUILD_DIR)/src/UI/osterveil

bench: build
	@for b in $(BUILD_DIR)/bench/bench_*; do [ -x "$$b" ] && "$$b"; done

clean:
	rm -rf $(BUILD_DIR)
