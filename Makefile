# The two commands a new user needs (run, test), plus the benchmark, fuzzing and packaging.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps build run test bench fuzz package windows windows-test clean

all: build

deps:
	@scripts/install-deps

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD)

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

run: build
	@if [ -z "$$DISPLAY$$WAYLAND_DISPLAY" ]; then \
		echo "kestrel needs a display: none is set (DISPLAY is empty). Start it from a desktop session, or try: xvfb-run -a $(BUILD)/kestrel"; \
	else \
		$(BUILD)/kestrel; \
	fi

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

bench: build
	$(BUILD)/bench/kestrel-bench

# Coverage-guided fuzzing of loading, grey, black-and-white and the writer, under ASan/UBSan.
FUZZ_SECONDS ?= 300
fuzz:
	@scripts/install-deps clang libclang-rt-14-dev
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DKESTREL_FUZZ=ON -DKESTREL_SANITIZE=ON
	cmake --build build-fuzz -j $(JOBS) --target fuzz_pipeline
	mkdir -p build-fuzz/corpus && cp -n fuzz/seeds/* build-fuzz/corpus/
	cd build-fuzz && ./fuzz/fuzz_pipeline -max_total_time=$(FUZZ_SECONDS) -rss_limit_mb=4096 \
		-max_len=65536 -print_final_stats=1 corpus

# A Debian package of the window, the converter and their desktop files, in build/.
package: build
	@scripts/install-deps dpkg-dev file
	cd $(BUILD) && cpack -G DEB

# 64-bit Windows, cross-built with MinGW: Qt once into ~/.cache/kestrel-win (most of an hour),
# then build-windows/kestrel-VERSION-win64.zip. windows-test checks it under Wine.
windows:
	@scripts/build-windows

windows-test: build windows
	@scripts/test-windows

clean:
	rm -rf $(BUILD)
