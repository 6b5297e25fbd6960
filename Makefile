# The two commands of the project: `make test` and `make demo`.
# Both install what they need first (Debian packages, as root).
.PHONY: all deps test check demo fuzz native windows format clean

all: test

deps:
	@scripts/install-deps

test: deps
	@scripts/run-tests

demo: deps
	@scripts/demo

# The quick loop between commits: the native debug build and its entries that
# are not slow (see HACKING.md).
check: deps
	@scripts/check

# The libFuzzer targets, FUZZ_SECONDS (default 60) each.
fuzz: deps
	@scripts/fuzz

# A single platform, without the tests.
native: deps
	cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCORVANA_SANITIZE=ON
	cmake --build build/native

windows: deps
	cmake -S . -B build/win32 -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
	cmake --build build/win32

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build
