#!/usr/bin/env bash
# Tests the cp39 wheel where the C library is older than the one it was built
# on: a Debian 11 chroot (glibc 2.31, python3 3.9) with torch 2.8.0 from PyPI
# and no compiler. Needs root. Prints one line like the matrix's.
#
#     bash scripts/build-wheels.sh dist 3.9
#     bash scripts/test-old-glibc.sh [DIR]      # DIR: the wheels, default dist/
#
# The chroot lives in the matrix cache (VTX_MATRIX_CACHE, by default
# $HOME/.cache/vantorix-matrix) as chroots/bullseye and is kept across runs,
# made on first use with `debootstrap --variant=minbase` from the Debian
# mirror this machine's apt uses. The archive's Release file may be past its
# Valid-Until date, so apt inside does not check it. Debian 11's OpenSSL
# trusts only its system store, so the CA bundle pip trusts here ($PIP_CERT)
# joins that store. torch lives in a cached environment
# (venvs/bullseye-<version>); each run makes a fresh one that sees it through
# a .pth file and installs the wheel there from DIR with
# `pip install --no-index`, as scripts/test-matrix.sh --wheels does.
set -uo pipefail
case ${1:-} in -h | --help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0" && exit 0 ;; esac
cd "$(dirname "$0")/.."
CHECKOUT=$(pwd)
DIR=$(realpath "${1:-dist}") || exit 2
# shellcheck source=scripts/matrix-lib.sh
source scripts/matrix-lib.sh
ROOT=$CACHE/chroots/bullseye
TORCH=2.8.0
LOG=$CACHE/logs/bullseye

# Runs a command inside the chroot with the checkout, the wheel folder and
# the cache at their paths outside. Debian 11's pip trusts the system store,
# to which setup_chroot adds this machine's CA bundle.
in_chroot() {
    debian_chroot_run "$ROOT" /etc/ssl/certs/ca-certificates.crt \
        "$CHECKOUT:$CHECKOUT $CACHE:$CACHE $DIR:$DIR" "$@"
}

# Makes the chroot, or completes one a previous run left unfinished.
setup_chroot() {
    [ -e "$ROOT.READY" ] && return 0
    debian_bootstrap bullseye "$ROOT" || return 1
    cp /etc/resolv.conf "$ROOT/etc/resolv.conf" &&
        debian_apt in_chroot update &&
        debian_apt in_chroot install -y --no-install-recommends python3 python3-venv ca-certificates &&
        mkdir -p "$ROOT/usr/local/share/ca-certificates" &&
        cp "${PIP_CERT:-/etc/ssl/certs/ca-certificates.crt}" \
            "$ROOT/usr/local/share/ca-certificates/host-ca.crt" &&
        in_chroot update-ca-certificates &&
        touch "$ROOT.READY"
}

fail() {
    echo "$1" >&2
    exit 1
}

setup_chroot >"$LOG.setup" 2>&1 || fail "chroot setup failed: $LOG.setup"
for compiler in cc gcc c++ g++ clang; do
    ! in_chroot sh -c "command -v $compiler" >/dev/null || fail "the chroot has a compiler: $compiler"
done
version=$(in_chroot python3 -c 'import platform; print(platform.python_version())')
glibc=$(in_chroot ldd --version | head -n 1 | grep -oE '[0-9]+\.[0-9]+$')

venv=$CACHE/venvs/bullseye-$version
py=$venv/bin/python
if ! in_chroot "$py" -c "import torch, pytest, mypy.stubtest" 2>/dev/null; then
    {
        in_chroot python3 -m venv "$venv" &&
            quiet_pip in_chroot "$py" -m pip install -q --upgrade pip &&
            quiet_pip in_chroot "$py" -m pip download -q -d "$WHEELS" "torch==$TORCH" numpy pytest mypy &&
            quiet_pip in_chroot "$py" -m pip install -q --no-index --find-links "$WHEELS" \
                "torch==$TORCH" numpy pytest mypy
    } >>"$LOG.setup" 2>&1 || fail "torch install failed: $LOG.setup"
fi

fresh=$CACHE/wheel-venvs/bullseye-$version
purelib='import sysconfig; print(sysconfig.get_paths()["purelib"])'
rm -rf "$fresh"
{
    in_chroot python3 -m venv "$fresh" &&
        in_chroot "$py" -c "$purelib" >"$(in_chroot "$fresh/bin/python" -c "$purelib")/vantorix-matrix-torch.pth" &&
        quiet_pip in_chroot "$fresh/bin/python" -m pip uninstall -q -y setuptools wheel pkg-resources
    quiet_pip in_chroot "$fresh/bin/python" -m pip install --no-index --find-links "$DIR" \
        --only-binary :all: vantorix &&
        in_chroot "$fresh/bin/python" -I -c 'import vantorix.blockwise_vantorix as m; print(m.__file__)' |
        grep "^$fresh/"
} >"$LOG.install" 2>&1 || fail "wheel install failed: $LOG.install"
wheel=$(grep -oE 'vantorix-[^ /]*\.whl' "$LOG.install" | head -n 1)

tests_copy=$(mktemp -d "$CACHE/tests.XXXXXX")
trap 'rm -rf "$tests_copy"' EXIT
cp -r tests "$tests_copy/"
mkdir "$tests_copy/scripts" && cp scripts/alloc_sweep.py "$tests_copy/scripts/"
rm -rf "$tests_copy/tests/cpp"
in_chroot sh -c 'cd "$1" && "$2" -m pytest -q -p no:cacheprovider tests' sh "$tests_copy" \
    "$fresh/bin/python" >"$LOG.tests" 2>&1
summary=$(tail -n 1 "$LOG.tests")
printf '%-9s %-6s %-8s %-15s %s\n' python glibc torch wheel tests
printf '%-9s %-6s %-8s %-15s %s\n' "$version" "$glibc" "$TORCH" "$wheel" "$summary"
grep -qE '[0-9]+ passed' <<<"$summary" && ! grep -qE 'failed|error' <<<"$summary"
