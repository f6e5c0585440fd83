#!/usr/bin/env bash
# Builds, installs and tests the package on every CPython from 3.7 to 3.15,
# each with the torch release that matrix-lib.sh pins for it (3.11: the
# local torch==2.13.0 file, as the README installs it). 3.7 to 3.13 come from
# pyenv; 3.14 and 3.15 are Debian's builds, run in the Debian unstable chroot
# of scripts/chroot-sid.sh (made on first use; needs root), since they need a
# newer C library than this machine has. Prints one line per interpreter.
# Not part of CI.
#
#     bash scripts/test-matrix.sh            # every interpreter
#     bash scripts/test-matrix.sh 3.7 3.14   # only these
#     bash scripts/test-matrix.sh --wheels dist [3.X ...]
#     bash scripts/test-matrix.sh --wheels dist --arch aarch64 [3.X ...]
#
# --wheels DIR tests the built wheels in DIR (scripts/build-wheels.sh)
# instead of building: in the run's own venv on top of the torch venv,
# `pip install --no-index --find-links DIR vantorix` (binary only, so no
# compiler is involved), then the tests. The build column then names the
# wheel installed.
#
# --arch aarch64 (with --wheels) tests the aarch64 wheels in Debian's arm64
# roots of matrix-lib.sh, run through qemu-user (3.9 on Debian 11, 3.11 on
# Debian 12, 3.13 on Debian 13, 3.14 and 3.15 on unstable; made on first
# use, needs root). torch comes from pip here, for that root's platform;
# the wheel goes in with the root's own pip. Emulated, everything runs ten
# to twenty times slower: the tests' child processes get
# VTX_TEST_TIMEOUT_FACTOR (default 20) times their time limits.
#
# Everything slow lives in a cache folder, VTX_MATRIX_CACHE (default
# $HOME/.cache/vantorix-matrix), kept across runs:
#   wheels/          torch, numpy, pytest, mypy; only what is missing is downloaded
#   venvs/<version>/ one virtual environment per interpreter, torch included
#                    (sid-<version> for the chroot's)
#   chroots/sid/     the Debian unstable chroot
#   chroots/<suite>-arm64/, venvs/arm64/<suite>-<version>/, wheels/aarch64/
#                    the same for aarch64
#   logs/            build and test logs of the last run
# Each run rebuilds the package from scratch with `pip install .` (a real
# install, not editable) into a venv of the run's own that reads the torch
# venv's packages, and runs tests/ from a copy outside the checkout, so the
# checkout's own vantorix/ cannot shadow the installed package. The
# chroot sees the checkout and the cache at the same paths as this machine.
set -uo pipefail
case ${1:-} in -h | --help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0" && exit 0 ;; esac
cd "$(dirname "$0")/.."
CHECKOUT=$(pwd)
# shellcheck source=scripts/matrix-lib.sh
source scripts/matrix-lib.sh
TEST_WHEELS=
ARCH=x86_64
while :; do
    case ${1:-} in
        --wheels)
            TEST_WHEELS=$(realpath "$2") && shift 2 || exit 2
            # The chroots see the wheels at the same path.
            export SID_BINDS="${SID_BINDS:-} $TEST_WHEELS:$TEST_WHEELS"
            ARM64_BINDS="${ARM64_BINDS:-} $TEST_WHEELS:$TEST_WHEELS"
            ;;
        --arch) ARCH=${2:-} && shift 2 || exit 2 ;;
        *) break ;;
    esac
done
case $ARCH in
    x86_64) ;;
    aarch64) [ -n "$TEST_WHEELS" ] || { echo "--arch aarch64 tests wheels: give --wheels DIR" >&2 && exit 2; } ;;
    *) echo "unknown --arch $ARCH" >&2 && exit 2 ;;
esac
[ "$ARCH" = x86_64 ] || VTX_TEST_TIMEOUT_FACTOR=${VTX_TEST_TIMEOUT_FACTOR:-20}

# One line per minor version asked for: how to run a command there (host or
# sid), the interpreter, its full version. pyenv's newest patch release where
# pyenv has one, otherwise the chroot's python3.X.
interpreters() {
    local minor home
    for minor in "$@"; do
        home=$(pyenv_python "$minor")
        if [ -n "$home" ]; then
            home=$(dirname "$(dirname "$home")")
            echo "host $home/bin/python $(basename "$home")"
        elif sid_setup >"$CACHE/logs/chroot-sid.setup" 2>&1 &&
                sid_run "python$minor" -c pass 2>/dev/null; then
            echo "sid python$minor $(sid_run "python$minor" -c \
                'import platform; print(platform.python_version())')"
        else
            echo "none python$minor $minor"
        fi
    done
}

# The same for the arm64 roots: arm64-<suite> python3.X, its full version.
arm64_interpreters() {
    local minor suite
    for minor in "$@"; do
        if suite=$(arm64_suite "$minor") &&
                arm64_setup "$suite" >"$CACHE/logs/arm64-$suite.setup" 2>&1; then
            echo "arm64-$suite python$minor $(arm64_run "$suite" "python$minor" -c \
                'import platform; print(platform.python_version())')"
        else
            echo "none python$minor $minor"
        fi
    done
}

# Installs the wheel from $TEST_WHEELS into the venv of $run_py, which sees
# the torch venv $py. The venv's own setuptools would shadow the torch
# venv's (which torch's requirements may need newer), so it keeps only pip;
# a vantorix that an older run left in the torch venv goes first, or pip
# would take it for the one asked for. The import check runs isolated, so
# that the checkout's own vantorix/ cannot answer. Prints the wheel's name.
install_wheel() {
    quiet_pip on "$py" -m pip uninstall -q -y vantorix 2>/dev/null
    quiet_pip on "$run_py" -m pip uninstall -q -y setuptools wheel 2>/dev/null
    quiet_pip on "$run_py" -m pip install --no-index --find-links "$TEST_WHEELS" \
        --only-binary :all: vantorix >&2 || return 1
    on "$run_py" -I -c 'import vantorix.blockwise_vantorix as m; print(m.__file__)' |
        grep "^$(dirname "$(dirname "$run_py")")/" >/dev/null || return 1
    find "$TEST_WHEELS" -name "vantorix-*-$(on "$run_py" -c \
        'import sys; print("cp%d%d" % sys.version_info[:2])')-*_$ARCH.whl" -printf '%f\n'
}

status=0
tests_copy=$(mktemp -d "$CACHE/tests.XXXXXX")
trap 'rm -rf "$tests_copy"' EXIT
cp -r tests "$tests_copy/"
mkdir "$tests_copy/scripts" "$tests_copy/logs" && cp scripts/alloc_sweep.py "$tests_copy/scripts/"
rm -rf "$tests_copy/tests/cpp"

if [ -n "$TEST_WHEELS" ]; then
    printf '%-9s %-8s %-15s %s\n' python torch wheel tests
else
    printf '%-9s %-8s %-15s %s\n' python torch build-warnings tests
fi
if [ "$ARCH" = aarch64 ]; then
    # shellcheck disable=SC2046
    [ $# -gt 0 ] || set -- $(for pair in $ARM64_SUITES; do echo "${pair#*:}"; done)
fi
[ $# -gt 0 ] || set -- 3.7 3.8 3.9 3.10 3.11 3.12 3.13 3.14 3.15
while read -r where python version <&3; do
    minor=$(cut -d. -f1,2 <<<"$version")
    torch=$(torch_for "$minor")
    if [ "$where" = none ]; then
        printf '%-9s %-8s %-15s %s\n' "$minor" "$torch" - "no interpreter found"
        status=1
        continue
    fi
    venv=$CACHE/venvs/$version
    [ "$where" = host ] || venv=$CACHE/venvs/$where-$version
    # Out of reach of link_duplicates, which knows nothing of them.
    [ "${where%%-*}" != arm64 ] || venv=$CACHE/venvs/arm64/${where#arm64-}-$version
    install=install_cached
    [ "${where%%-*}" != arm64 ] || install=arm64_install_cached
    py=$venv/bin/python
    # Logs are written in this run's folder and copied to the cache's logs/
    # at the end, so that a run beside this one cannot mix in.
    log=$tests_copy/logs/$version
    # The unstable chroot's 3.14 shares its version with the arm64 root's.
    [ "${where%%-*}" != arm64 ] || log=$tests_copy/logs/$where-$version

    [ -x "$py" ] || new_venv "$python" "$venv"
    have=$(on "$py" -c "import torch; print(torch.__version__.split('+')[0])" 2>/dev/null)
    if [ "$have" != "$torch" ] && ! $install "$py" "torch==$torch" >"$log.setup" 2>&1; then
        printf '%-9s %-8s %-15s %s\n' "$version" "$torch" - "torch install failed: $log.setup"
        status=1
        continue
    fi
    [ "$have" = "$torch" ] || [ "$install" != install_cached ] || link_duplicates
    # Before 3.10 torch.distributed imports importlib_metadata, which torch's
    # x86_64 wheels bring in through triton and its aarch64 wheels not at all.
    extra=()
    [ "$install" = install_cached ] || extra=("importlib_metadata; python_version < '3.10'")
    on "$py" -c "import numpy, pytest, mypy.stubtest" 2>/dev/null ||
        $install "$py" numpy pytest mypy "${extra[@]}" >>"$log.setup" 2>&1

    # The package goes into a venv of this run's own on top of the torch
    # venv, built in a folder of this run's own: other runs, beside this one
    # or later, neither see it nor change it.
    run_py=$tests_copy/venv-$version/bin/python
    if [ -n "$TEST_WHEELS" ]; then
        if ! layered_venv "$python" "$tests_copy/venv-$version" "$py" >"$log.build" 2>&1 ||
            ! warnings=$(install_wheel 2>>"$log.build"); then
            printf '%-9s %-8s %-15s %s\n' "$version" "$torch" - "wheel install failed: $log.build"
            status=1
            continue
        fi
    elif ! layered_venv "$python" "$tests_copy/venv-$version" "$py" >"$log.build" 2>&1 ||
        ! quiet_pip on "$run_py" -m pip install -v --find-links "$WHEELS" \
            --config-settings=build-dir="$tests_copy/build-$version" "$CHECKOUT" \
            >>"$log.build" 2>&1; then
        printf '%-9s %-8s %-15s %s\n' "$version" "$torch" - "build failed: $log.build"
        status=1
        continue
    else
        warnings=$(grep -cE ': warning:|CMake Warning' "$log.build")
    fi

    (cd "$tests_copy" && on env VTX_TEST_TIMEOUT_FACTOR="${VTX_TEST_TIMEOUT_FACTOR:-1}" \
        "$run_py" -m pytest -q -p no:cacheprovider tests) >"$log.tests" 2>&1
    result=$(test_result "$log.tests") || status=1
    printf '%-9s %-8s %-15s %s\n' "$version" "$torch" "$warnings" "$result"
done 3< <(if [ "$ARCH" = x86_64 ]; then interpreters "$@"; else arm64_interpreters "$@"; fi)
cp "$tests_copy"/logs/* "$CACHE/logs/" 2>/dev/null
exit $status
