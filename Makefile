# A thin layer over CMake: `make demo` builds the programs and runs the tool
# chain on the example script, `make test` builds everything and runs every
# test.
BUILD ?= build
CMAKE ?= cmake
CTEST ?= ctest
CMAKE_FLAGS ?=

.PHONY: configure programs build demo test clean

configure:
	$(CMAKE) -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)

programs: configure
	$(CMAKE) --build $(BUILD) --parallel --target programs

build: configure
	$(CMAKE) --build $(BUILD) --parallel

demo: programs
	sh examples/demo.sh $(BUILD)

# Fails when there is no test to run (GoogleTest missing).
test: build
	$(CTEST) --test-dir $(BUILD) --output-on-failure --parallel 2 --no-tests=error

clean:
	rm -rf $(BUILD)
