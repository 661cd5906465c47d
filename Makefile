# Quick start: `make run` starts a demo agent, `make test` runs every test.
# SANITIZE=address,undefined (or thread) builds everything with sanitizers.

SANITIZE ?=
MAKEFLAGS += --no-print-directory
comma := ,
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
ifeq ($(SANITIZE),)
BUILD := build
else
BUILD := build-$(subst $(comma),-,$(SANITIZE))
endif
BENCH_BUILD := build-bench
FUZZ_SECONDS ?= 60
SOAK_SECONDS ?= 600

.PHONY: all deps configure build test run bench fuzz soak clean package package-check install

all: build

deps:
	@tools/ensure-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -DSANITIZE=$(SANITIZE) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS) $(CTEST_ARGS)

run: configure
	@cmake --build $(BUILD) -j $(JOBS) --target owl owlctl
	@tools/demo.sh $(BUILD)

bench: deps
	@cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DOWL_TESTS=OFF >/dev/null
	@cmake --build $(BENCH_BUILD) -j $(JOBS) --target benchmarks
	@for b in $(BENCH_BUILD)/bench_*; do echo "== $$(basename $$b)"; $$b || exit 1; done

# Every fuzz target for FUZZ_SECONDS seconds (clang++ with libFuzzer, in
# build-fuzz/); make test replays the seed corpora.
fuzz:
	@tools/fuzz.sh build-fuzz $(FUZZ_SECONDS) $(JOBS)

# A daemon agent under mixed load for SOAK_SECONDS seconds.
soak: deps
	@cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DOWL_TESTS=OFF >/dev/null
	@cmake --build $(BENCH_BUILD) -j $(JOBS) --target bench_soak
	@SOAK_SECONDS=$(SOAK_SECONDS) $(BENCH_BUILD)/bench_soak

# make package: owl_<version>_<arch>.deb in $(BUILD)/ (CPack, from the install rules).
package: build
	@cd $(BUILD) && cpack -G DEB

# make package-check: the package through lintian and the service unit
# through systemd-analyze (both installed with apt when missing).
package-check: package
	@tools/ensure-deps.sh lintian:lintian systemd-analyze:systemd
	@lintian --tag-display-limit 0 $(BUILD)/owl_*.deb
	@cd $(BUILD) && ./packaging_tests --gtest_filter='Package.*'

# make install [PREFIX=/usr/local] [DESTDIR=...]: the package's tree under PREFIX.
PREFIX ?= /usr/local
install: build
	@cmake --install $(BUILD) --prefix $(PREFIX)

clean:
	rm -rf build build-* 
