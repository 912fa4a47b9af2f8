# Brevin: the two everyday commands are `make run` and `make test`.
BUILD   ?= build
JOBS    ?= $(shell nproc)
CMAKE_FLAGS ?=
ARGS    ?=
TARGET  ?=

.PHONY: run test bench fuzz build format lint clean

# Builds the server and starts it in ./run (its brevin.INI and store/ land there). Ports 25 and
# 110 need the bind capability, which scripts/grant-bind.sh gives the built program (via sudo).
run:
	@scripts/install-deps.sh run
	@$(MAKE) --no-print-directory build TARGET=brevin
	@scripts/grant-bind.sh $(BUILD)/brevin $(ARGS)
	@mkdir -p run
	cd run && exec ../$(BUILD)/brevin $(ARGS)

build:
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS) $(if $(TARGET),--target $(TARGET))

# Builds everything and runs every test through CTest.
test:
	@scripts/install-deps.sh test
	@$(MAKE) --no-print-directory build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

# Benchmarks print tables; they assert nothing.
bench:
	@scripts/install-deps.sh bench
	@$(MAKE) --no-print-directory build
	@scripts/run-benchmarks.sh $(BUILD)

# libFuzzer targets under AddressSanitizer, each for FUZZ_SECONDS.
FUZZ_SECONDS ?= 60
fuzz:
	@scripts/install-deps.sh fuzz
	@CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DBREVIN_FUZZ=ON -DBREVIN_GUI=OFF -DBREVIN_TESTS=OFF -DBREVIN_BENCH=OFF >/dev/null
	@cmake --build build-fuzz -j $(JOBS)
	@scripts/run-fuzzers.sh build-fuzz $(FUZZ_SECONDS)

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

# clang-format and clang-tidy over the program's own code (the build must exist: it gives
# clang-tidy the compile commands).
lint:
	@git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror
	@git ls-files 'base/*.cpp' 'engine/*.cpp' 'store/*.cpp' 'login/*.cpp' 'smtp/*.cpp' \
		'pop3/*.cpp' 'folders/*.cpp' 'imap/*.cpp' 'autoconfig/*.cpp' \
		'shell/*.cpp' 'shell/qt/*.cpp' | xargs -P $(JOBS) -n 4 clang-tidy -p $(BUILD) --quiet

clean:
	rm -rf $(BUILD)
