# A thin layer over CMake: `make demo` builds and runs the tool chain on the
# example script, `make test` builds and runs every test.
BUILD ?= build
CMAKE ?= cmake
CTEST ?= ctest
CMAKE_FLAGS ?=

.PHONY: build demo test clean

build:
	$(CMAKE) -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	$(CMAKE) --build $(BUILD) --parallel

demo: build
	sh examples/demo.sh $(BUILD)

test: build
	$(CTEST) --test-dir $(BUILD) --output-on-failure --parallel 2

clean:
	rm -rf $(BUILD)
