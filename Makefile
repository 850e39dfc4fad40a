# Single commands for newcomers. Two configurations: build/release is what
# users get (optimised, with debug info); build/asan runs the same tests under
# AddressSanitizer and UndefinedBehaviorSanitizer.
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc)

.PHONY: all build demo test test-release test-asan bench bench-build bench-sql bench-wal-readers clean

all: build

build/release/build.ninja:
	cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

build/asan/build.ninja:
	cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVBK_SANITIZE=ON $(CMAKE_FLAGS)

build: build/release/build.ninja
	cmake --build build/release -j $(JOBS)

# A short tour from Python: builds the module and runs examples/demo.py.
demo: build/release/build.ninja
	cmake --build build/release -j $(JOBS) --target demo

test-release: build/release/build.ninja
	cmake --build build/release -j $(JOBS)
	ctest --test-dir build/release --output-on-failure -j $(JOBS)

test-asan: build/asan/build.ninja
	cmake --build build/asan -j $(JOBS)
	ctest --test-dir build/asan --output-on-failure -j $(JOBS)

# Both configurations; stops at the first that fails.
test: test-release test-asan

# Benchmarks against the peer engine (needs libsqlite3-dev). BENCH_ROWS
# scales the workloads.
BENCH_ROWS ?= 1000000
BENCH_TARGETS = btree_bench value_ops_bench vm_bench compile_bench join_bench
bench: bench-build
	build/release/bench/btree_bench $(BENCH_ROWS)
	build/release/bench/value_ops_bench
	build/release/bench/vm_bench $(BENCH_ROWS)
	build/release/bench/compile_bench
	build/release/bench/join_bench

# Configures with the benchmarks and builds them without running any: CI
# calls it so that no change breaks bench/ unnoticed.
bench-build:
	cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVBK_BENCH=ON $(CMAKE_FLAGS)
	cmake --build build/release -j $(JOBS) --target $(BENCH_TARGETS)

# End-to-end SQL workloads through the Python module and the standard
# library's sqlite3, rollback journal then write-ahead log. ROWS, REPS and
# FILTER (a part of a workload's name) adjust the run.
ROWS ?= 100000
REPS ?= 3
FILTER ?=
bench-sql: build/release/build.ninja
	SQL_BENCH_ROWS=$(ROWS) SQL_BENCH_REPS=$(REPS) SQL_BENCH_FILTER='$(FILTER)' \
	  cmake --build build/release -j $(JOBS) --target bench_sql

# One writer beside 0, 1 and 3 readers of short queries and one of long ones,
# in log mode, for both engines: commits per second, the slowest commit,
# reads per second and the largest log.
bench-wal-readers: build/release/build.ninja
	cmake --build build/release -j $(JOBS) --target bench_wal_readers

clean:
	rm -rf build
