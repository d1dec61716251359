# The two commands a new user needs:
#   make demo   build, then run the tool against the simulated adapter
#   make test   build the native and Windows programs and run every test
.PHONY: all native windows demo test bench asan fuzz analyze valgrind hardening clean

all: native

native:
	@scripts/install-deps.sh native
	cmake --preset default
	cmake --build --preset default

windows:
	@scripts/install-deps.sh all
	cmake --preset windows
	cmake --build --preset windows

demo: native
	scripts/demo.sh

test:
	@scripts/install-deps.sh all
	$(MAKE) --no-print-directory native windows
	ctest --preset default -j2

# Google Benchmark programs in a Release build of their own (build-bench).
bench:
	@scripts/install-deps.sh bench
	cmake --preset bench
	cmake --build --preset bench
	@for b in build-bench/tests/bench/*_bench; do echo "== $$b"; "$$b" || exit 1; done

# Hardening, each in a build folder of its own (scripts/ci-hardening.sh):
#   make asan       unit and native end-to-end tests under ASan and UBSan
#   make fuzz       each fuzz target for FUZZ_SECONDS (60) from the seed corpora
#   make analyze    cppcheck and clang-tidy
#   make valgrind   memcheck on a listing, a status, a disk copy and an update
#   make hardening  all four, as CI runs them
FUZZ_SECONDS ?= 60

asan analyze valgrind:
	scripts/ci-hardening.sh $@

fuzz:
	scripts/ci-hardening.sh fuzz $(FUZZ_SECONDS)

hardening:
	scripts/ci-hardening.sh all $(FUZZ_SECONDS)

clean:
	rm -rf build build-windows build-bench build-asan build-fuzz build-hard
