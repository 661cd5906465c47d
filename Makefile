# Quick start: `make run` starts a demo agent, `make test` runs every test.
# SANITIZE=address,undefined (or thread) builds everything with sanitizers.
# make coverage, make format-check and make lines measure the sources.

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

.PHONY: all deps configure build test run bench fuzz soak clean package package-check install coverage coverage-map mutants format-check lines deps-graph thread-safety

all: build

deps:
	@tools/ensure-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -DSANITIZE=$(SANITIZE) >/dev/null

# BUILD_TARGETS=... builds only those targets (with what they depend on).
build: configure
	@cmake --build $(BUILD) -j $(JOBS) $(if $(BUILD_TARGETS),--target $(BUILD_TARGETS))

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS) $(CTEST_ARGS)

run: configure
	@cmake --build $(BUILD) -j $(JOBS) --target owl owlctl
	@tools/demo.sh $(BUILD)

bench: deps
	@cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DOWL_TESTS=OFF >/dev/null
	@cmake --build $(BENCH_BUILD) -j $(JOBS) --target benchmarks
	@for b in $(BENCH_BUILD)/bench_*; do echo "== $$(basename $$b)"; $$b || exit 1; done

# make coverage: every test over a --coverage build in build-coverage/, then
# the line and branch summary of src/ and an HTML report in
# build-coverage/coverage/index.html (gcovr installed with apt when missing).
COVERAGE_BUILD := build-coverage
coverage: deps
	@tools/ensure-deps.sh gcovr:gcovr
	@cmake -S . -B $(COVERAGE_BUILD) -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_CXX_FLAGS="--coverage -fprofile-update=atomic -DOWL_COVERAGE" >/dev/null
	@cmake --build $(COVERAGE_BUILD) -j $(JOBS)
	@find $(COVERAGE_BUILD) -name '*.gcda' -delete
	@mkdir -p $(COVERAGE_BUILD)/coverage
	@status=0; (cd $(COVERAGE_BUILD) && ctest --output-on-failure -j $(JOBS) $(CTEST_ARGS)) || status=$$?; \
	  gcovr -r . --filter 'src/' -j $(JOBS) --gcov-ignore-parse-errors \
	    --exclude-unreachable-branches --exclude-throw-branches --print-summary \
	    --html-details $(COVERAGE_BUILD)/coverage/index.html $(COVERAGE_BUILD) && exit $$status

# make coverage-map: after make coverage, each test alone, then per test the
# lines and branches of src/ that no other test covers (tools/coverage-map.py
# also compares a later run with the map: see its help).
coverage-map: coverage
	@rm -rf $(COVERAGE_BUILD)/coverage-map
	@tools/coverage-map.py run $(COVERAGE_BUILD) $(COVERAGE_BUILD)/coverage-map >/dev/null
	@tools/coverage-map.py report $(COVERAGE_BUILD)/coverage-map

# make mutants: MUTANTS mutants of src/ (or of MUTANT_FILES) drawn with SEED,
# each built in build-mutants/ and run against the suite (tools/mutants.py;
# MUTANT_ARGS=--list prints the draw without running it).
MUTANTS ?= 100
SEED ?= 1
MUTANT_FILES ?=
MUTANT_JOBS ?= $(JOBS)
MUTANT_TIMEOUT ?=
mutants: deps
	@tools/ensure-deps.sh python3:python3
	@python3 tools/mutants.py -n $(MUTANTS) --seed $(SEED) --files '$(MUTANT_FILES)' \
	  --jobs $(MUTANT_JOBS) $(if $(MUTANT_TIMEOUT),--timeout $(MUTANT_TIMEOUT)) $(MUTANT_ARGS)

# make format-check: every source through clang-format without changing it.
FORMAT_SOURCES = $(shell find src tests bench fuzz -name '*.cpp' -o -name '*.h')
format-check:
	@tools/ensure-deps.sh clang-format:clang-format
	@clang-format --dry-run --Werror $(FORMAT_SOURCES)

# make deps-graph: the include graph between the folders of src/ and the
# layer order of CMakeLists.txt; fails on an upward or circular include.
deps-graph:
	@tools/ensure-deps.sh python3:python3
	@python3 tools/deps-graph.py

# make lines: non-blank, non-comment lines of src/ and tests/ and their ratio.
lines:
	@tools/count-lines.py src tests

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

# make thread-safety: the agent and its clients built with clang and
# -Wthread-safety as an error (in build-tsa/), so that state annotated
# GUARDED_BY read or written without its mutex fails to build.
thread-safety: deps
	@tools/ensure-deps.sh clang++:clang
	@cmake -S . -B build-tsa -DCMAKE_CXX_COMPILER=clang++ -DOWL_TESTS=OFF \
		-DCMAKE_CXX_FLAGS="-Wthread-safety -Werror=thread-safety" >/dev/null
	@cmake --build build-tsa -j $(JOBS) --target owl owlctl check_owl
