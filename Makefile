# The two commands a new user needs:
#   make demo   build, then run the tool against the simulated adapter
#   make test   build the native and Windows programs and run every test
.PHONY: all native windows demo test bench clean

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

clean:
	rm -rf build build-windows build-bench
