#!/usr/bin/env bash
# Prints the clang++ that builds the fuzz targets (libFuzzer, ASan, UBSan), installing clang and
# its runtime libraries from the Debian archive first when none is usable.
set -euo pipefail

works() {  # can $1 link a libFuzzer program?
    local dir
    dir=$(mktemp -d)
    printf '%s\n' '#include <cstddef>' '#include <cstdint>' \
        'extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t*, std::size_t) { return 0; }' \
        >"$dir/probe.cpp"
    "$1" -fsanitize=fuzzer,address,undefined "$dir/probe.cpp" -o "$dir/probe" >/dev/null 2>&1
    local rc=$?
    rm -rf "$dir"
    return $rc
}

find_clang() {
    local c
    for c in ${CLANGXX:-} clang++ $(ls /usr/bin/clang++-[0-9]* 2>/dev/null | sort -t- -k2 -rn); do
        if command -v "$c" >/dev/null 2>&1 && works "$c"; then command -v "$c"; return 0; fi
    done
    return 1
}

if find_clang; then exit 0; fi

echo "fuzz: no clang++ with libFuzzer found; installing clang from the Debian archive" >&2
here=$(dirname "$0")
"$here/../tools/apt-install.sh" fuzz clang
# libFuzzer and the sanitizer runtimes live in libclang-rt-<major>-dev.
major=$(clang --version | sed -n 's/.*clang version \([0-9][0-9]*\).*/\1/p' | head -n1)
"$here/../tools/apt-install.sh" fuzz "libclang-rt-$major-dev" || true
find_clang || { echo "fuzz: clang installed but cannot link -fsanitize=fuzzer" >&2; exit 1; }
