# Shared by scripts/test-matrix.sh and scripts/test-debug.sh: the matrix
# cache, the torch of each interpreter, pip from the wheel cache, and running
# a command on this machine or in the Debian unstable chroot. Sourced, not
# run: `bash scripts/matrix-lib.sh` prints this comment.
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    sed -n '1,/^[^#]/s/^# \{0,1\}//p' "$0" && exit 0
fi
CACHE=${VTX_MATRIX_CACHE:-$HOME/.cache/vantorix-matrix}
export VTX_MATRIX_CACHE=$CACHE
# shellcheck source=scripts/chroot-sid.sh
source "$(dirname "${BASH_SOURCE[0]}")/chroot-sid.sh"
WHEELS=$CACHE/wheels
PYENV_VERSIONS=${PYENV_ROOT:-$HOME/.pyenv}/versions
mkdir -p "$WHEELS" "$CACHE/venvs" "$CACHE/logs"

# The torch pins below are exact; a machine-wide pip constraints file must
# not veto them.
export PIP_CONSTRAINT=/dev/null

# pyenv's newest patch release of a minor version, if pyenv has one.
pyenv_python() {
    local home
    home=$(ls -d "$PYENV_VERSIONS/$1".* 2>/dev/null | grep -E '/3\.[0-9]+\.[0-9]+$' |
        sort -V | tail -n 1 || true)
    [ -z "$home" ] || echo "$home/bin/python"
}

torch_for() {
    case $1 in
        3.7) echo 1.13.1 ;;
        3.8) echo 2.4.1 ;;
        3.9) echo 2.8.0 ;;
        3.10) echo 2.14.1 ;;
        3.11) echo 2.13.0 ;;
        3.12 | 3.13 | 3.14 | 3.15) echo 2.15.0 ;;
    esac
}

# pip notes every configured index folder that lacks a package; drop those
# lines and keep the rest.
quiet_pip() {
    "$@" 2> >(grep -v "is ignored: it is neither" >&2)
}

# Installs the requirements from the wheel cache, downloading into it first
# only when the cache cannot satisfy them. INSTALL_OPTIONS: more options
# for the install alone.
install_cached() {
    local python=$1
    shift
    # shellcheck disable=SC2086
    quiet_pip on "$python" -m pip install -q --no-index --find-links "$WHEELS" ${INSTALL_OPTIONS:-} "$@" \
        2>/dev/null && return
    # shellcheck disable=SC2086
    quiet_pip on "$python" -m pip download -q -d "$WHEELS" "$@" &&
        quiet_pip on "$python" -m pip install -q --no-index --find-links "$WHEELS" ${INSTALL_OPTIONS:-} "$@"
}

# Runs a command where the interpreter of this round lives: $where is host,
# sid or arm64-SUITE.
on() {
    case $where in
        sid) sid_run "$@" ;;
        arm64-*) arm64_run "${where#arm64-}" "$@" ;;
        *) "$@" ;;
    esac
}

# A venv of PYTHON at VENV with a current pip. Emulated in an arm64 root,
# pip takes minutes a step: such a venv keeps the pip its interpreter ships.
new_venv() {
    on "$1" -m venv "$2" || return 1
    case $where in arm64-*) return 0 ;; esac
    quiet_pip on "$2/bin/python" -m pip install -q --upgrade pip
}

site_packages() {
    on "$1" -c 'import sysconfig; print(sysconfig.get_path("purelib"))'
}

# A venv of `python` at `venv` (made if missing) that also reads the
# packages of the venv whose interpreter is `packages_from`, through a .pth
# file: the shared torch venvs stay as they are, whatever is installed on top.
layered_venv() {
    local python=$1 venv=$2 packages_from=$3
    if [ ! -x "$venv/bin/python" ]; then
        new_venv "$python" "$venv" 2>/dev/null
    fi &&
        echo "import site; site.addsitedir('$(site_packages "$packages_from")')" \
            >"$(site_packages "$venv/bin/python")/torch-venv.pth"
}

# Counts of one pytest summary line, e.g. "3 failed, 430 passed, 1 skipped in 9s".
count_of() {
    grep -oE "[0-9]+ $1" <<<"$2" | grep -oE '^[0-9]+' || echo 0
}

# The result of a pytest log as one line ("465 passed, 0 failed, 1 skipped");
# fails unless some test passed and none failed or errored.
test_result() {
    local summary passed failed skipped result
    summary=$(tail -n 1 "$1")
    passed=$(count_of passed "$summary")
    failed=$(($(count_of failed "$summary") + $(count_of error "$summary")))
    skipped=$(count_of skipped "$summary")
    result="$passed passed, $failed failed"
    [ "$skipped" = 0 ] || result="$result, $skipped skipped"
    echo "$result"
    [ "$passed" != 0 ] && [ "$failed" = 0 ]
}

# Venvs of one torch release share most of their files (the CUDA libraries
# alone are some 4 GiB); linking equal files of the matrix venvs to each
# other keeps the cache within a disk's reach.
link_duplicates() {
    command -v hardlink >/dev/null || return 0
    nice hardlink -q -c -s 64K "$CACHE"/venvs/3.* "$CACHE"/venvs/*-3.* 2>/dev/null || true
}

# aarch64: Debian's arm64 roots, run through qemu-user, one per suite, each
# with the interpreters whose headers and SOABI an aarch64 wheel is built
# against and then tested by. "suite:minor" pairs.
ARM64_SUITES="bullseye:3.9 bookworm:3.11 trixie:3.13 sid:3.14 sid:3.15"

# The suite of an interpreter's minor version; fails when none has it.
arm64_suite() {
    local pair
    for pair in $ARM64_SUITES; do
        [ "${pair#*:}" != "$1" ] || { echo "${pair%%:*}" && return 0; }
    done
    return 1
}

arm64_root() { echo "$CACHE/chroots/$1-arm64"; }

# Installs the requirements into the venv of PY in an arm64 root ($where),
# with pip here, ten times faster than pip emulated there: the wheels that
# the root's pip would take (its interpreter; manylinux up to its glibc),
# with the requirements' markers read for that interpreter
# (pip-target/sitecustomize.py), from the aarch64 part of the wheel cache,
# downloaded into it when missing.
arm64_install_cached() (
    local py=$1 minor glibc pip_python
    shift
    minor=$(on "$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])') &&
        glibc=$(on ldd --version | sed -n '1s/.* //p') &&
        PIP_TARGET=$(site_packages "$py") &&
        VTX_TARGET_MARKERS=$(on "$py" -c 'import json, os, platform, sys
print(json.dumps({"os_name": os.name, "sys_platform": sys.platform,
    "platform_machine": platform.machine(), "platform_system": platform.system(),
    "platform_release": platform.release(), "platform_version": platform.version(),
    "platform_python_implementation": platform.python_implementation(),
    "implementation_name": sys.implementation.name,
    "implementation_version": platform.python_version(),
    "python_full_version": platform.python_version(), "python_version": "%d.%d" % sys.version_info[:2]}))') ||
        return 1
    export PIP_TARGET VTX_TARGET_MARKERS PYTHONPATH=$SID_CHECKOUT/scripts/pip-target
    mkdir -p "$WHEELS/aarch64"
    # pip install checks the packages' Requires-Python against the
    # interpreter that runs it, whatever --python-version says (pip
    # download, against that): the same minor version runs it where pyenv
    # has one. Where pyenv has none (3.14, 3.15), the download has chosen
    # by the target's version already and the install skips the check.
    # --python-version goes on the command line, since pip reads
    # PIP_PYTHON_VERSION for the wheel tags alone.
    pip_python=$(pyenv_python "$minor")
    local install_options=
    [ -n "$pip_python" ] || install_options=--ignore-requires-python
    # shellcheck disable=SC2046
    where=host WHEELS=$WHEELS/aarch64 INSTALL_OPTIONS=$install_options \
        install_cached "${pip_python:-${TOOLS_PYTHON:-python3}}" \
        --python-version "$minor" --implementation cp --abi "cp${minor/./}" --only-binary :all: \
        --platform manylinux2014_aarch64 $(seq -f '--platform manylinux_2_%g_aarch64' 17 "${glibc#2.}") "$@"
)

# qemu-user-static from Debian runs arm64 programs; registered with the F
# flag, the kernel keeps the emulator open, so it also runs inside a root
# that lacks it, child processes included.
qemu_setup() {
    local entry=/proc/sys/fs/binfmt_misc/qemu-aarch64
    if [ ! -x /usr/bin/qemu-aarch64-static ] || ! command -v update-binfmts >/dev/null; then
        apt-get update -qq && apt-get install -y -qq qemu-user-static binfmt-support || return 1
    fi
    [ -e /proc/sys/fs/binfmt_misc/status ] ||
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc || return 1
    [ -e $entry ] || update-binfmts --enable qemu-aarch64 || return 1
    grep -q '^enabled' $entry && grep -qE '^flags: .*F' $entry ||
        { echo "qemu-aarch64 is not registered with the F flag:" && cat $entry; } >&2
}

# qemu-user hands an arm64 program this machine's own /proc/cpuinfo, whose
# x86 fields torch's CPU probe cannot read: torch's import then crashes. The
# runs see, bound over it, one written as an arm64 kernel writes it, for a
# Neoverse-N1 with this machine's number of processors.
arm64_cpuinfo() {
    local file=$CACHE/chroots/cpuinfo-aarch64 cpu
    for ((cpu = 0; cpu < $(nproc); cpu++)); do
        printf '%s\t: %s\n' processor "$cpu" BogoMIPS 50.00 \
            Features "fp asimd evtstrm aes pmull sha1 sha2 crc32 atomics fphp asimdhp cpuid asimdrdm lrcpc dcpop asimddp ssbs" \
            "CPU implementer" 0x41 "CPU architecture" 8 "CPU variant" 0x3 "CPU part" 0xd0c "CPU revision" 1
        echo
    done >"$file"
    echo "$file"
}

# Runs a command in the arm64 root of SUITE, with the checkout, the cache and
# ARM64_BINDS ("outside:inside ...") at their paths outside, and /sys, where
# torch's CPU probe counts the processors.
#
#     arm64_run SUITE CMD ...
arm64_run() {
    local suite=$1
    shift
    debian_chroot_run "$(arm64_root "$suite")" /etc/ssl/certs/ca-certificates.crt \
        "$SID_CHECKOUT:$SID_CHECKOUT $CACHE:$CACHE /sys:/sys $(arm64_cpuinfo):/proc/cpuinfo ${ARM64_BINDS:-}" "$@"
}

# Makes the arm64 root of SUITE, or completes one a previous run left
# unfinished: each interpreter with venv and headers, nothing else (pip
# outside installs what runs there). debootstrap brings the interpreters
# and headers; the venv packages come through apt, since debootstrap misses
# some of their dependencies (python3.11-venv's python3.11-distutils).
# SUITE.READY marks one whose interpreters work.
arm64_setup() {
    local suite=$1 root pair minor include= venv=
    root=$(arm64_root "$suite")
    [ -e "$root.READY" ] && return 0
    qemu_setup || return 1
    for pair in $ARM64_SUITES; do
        minor=${pair#*:}
        [ "${pair%%:*}" != "$suite" ] ||
            include=$include,python$minor,libpython$minor-dev venv="$venv python$minor-venv"
    done
    debian_bootstrap "$suite" "$root" arm64 "${include#,}" || return 1
    cp /etc/resolv.conf "$root/etc/resolv.conf" &&
        debian_apt "niced arm64_run $suite" update &&
        debian_apt "niced arm64_run $suite" install -y --no-install-recommends $venv || return 1
    for pair in $ARM64_SUITES; do
        minor=${pair#*:}
        [ "${pair%%:*}" != "$suite" ] || arm64_run "$suite" "python$minor" -c 'import platform, venv
assert platform.machine() == "aarch64"' || return 1
    done
    touch "$root.READY"
}
