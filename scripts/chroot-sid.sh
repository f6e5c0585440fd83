#!/usr/bin/env bash
# A Debian unstable chroot with CPython 3.14 and 3.15 (release and debug
# builds, headers, venv) and a C++ toolchain: those interpreters need a newer
# C library than this machine's Debian 12. Needs root. It lives in the matrix
# cache and is kept across runs.
#
#     bash scripts/chroot-sid.sh setup          # make it (or finish making it)
#     bash scripts/chroot-sid.sh run CMD ...    # run CMD inside it
#
# Sourced, it defines sid_setup and sid_run for the other scripts, and the
# helpers they rest on for any Debian chroot (debian_chroot_run, debian_apt,
# debian_bootstrap).
# The mirror is the one this machine's apt uses for Debian itself. The
# archive's Release file may be past its Valid-Until date, so apt inside does
# not check that date. /proc, /dev, the checkout and the wheel cache are
# mounted only in a mount namespace of each command's own, so nothing stays
# mounted after it, whatever else uses the chroot at the same time.

VTX_MATRIX_CACHE=${VTX_MATRIX_CACHE:-$HOME/.cache/vantorix-matrix}
SID_ROOT=$VTX_MATRIX_CACHE/chroots/sid
SID_CHECKOUT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
SID_PACKAGES="python3.14 python3.14-dev python3.14-venv python3.14-dbg
    python3.15 python3.15-dev python3.15-venv python3.15-dbg
    g++ cmake ninja-build ca-certificates binutils"

# The first Debian archive URI in this machine's apt sources (either format);
# empty if there is none, and debootstrap then takes its own default.
debian_mirror() {
    local files
    files=$(ls /etc/apt/sources.list /etc/apt/sources.list.d/*.list \
        /etc/apt/sources.list.d/*.sources 2>/dev/null)
    [ -n "$files" ] || return 0
    # shellcheck disable=SC2086
    grep -hoE '^(URIs:[[:space:]]*|deb[[:space:]]+(\[[^]]*\][[:space:]]+)?)[a-z]+://[^[:space:]]+/debian/?([[:space:]]|$)' \
        $files | grep -oE '[a-z]+://[^[:space:]]+' | head -n 1
}

# Runs a command inside the Debian chroot at ROOT with /proc, /dev and the
# extra bind mounts BINDS ("outside:inside ..."), in a mount namespace of its
# own, so nothing stays mounted after it. pip inside trusts the CA bundle at
# CERT (a path inside). The command starts in the caller's folder where the
# chroot has it.
#
#     debian_chroot_run ROOT CERT BINDS CMD ...
debian_chroot_run() {
    local root=$1 cert=$2 binds=$3
    shift 3
    unshare --mount --propagation private /bin/bash -c '
        root=$1; binds=$2; cwd=$3; cert=$4; shift 4
        mount -t proc proc "$root/proc" &&
            mount --rbind /dev "$root/dev" || exit 1
        for pair in $binds; do
            # A file (such as /proc/cpuinfo) may be bound over a file.
            { [ -e "$root${pair#*:}" ] || mkdir -p "$root${pair#*:}"; } &&
                mount --bind "${pair%%:*}" "$root${pair#*:}" || exit 1
        done
        # The caller'"'"'s folder, where the chroot has it.
        exec chroot "$root" /bin/sh -c '"'"'cd "$1" 2>/dev/null || cd /; shift; exec "$@"'"'"' cd "$cwd" \
            /usr/bin/env -i HOME=/root LANG=C.UTF-8 \
            PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
            PIP_CERT="$cert" PIP_CONSTRAINT=/dev/null \
            PIP_DISABLE_PIP_VERSION_CHECK=1 "$@"
    ' chroot-run "$root" "$binds" "$(pwd)" "$cert" "$@"
}

# apt-get inside a chroot, through RUN (a function like sid_run, with any
# leading arguments: "arm64_run sid"); the archive's Release file may be past
# its Valid-Until date.
debian_apt() {
    local run=$1
    shift
    $run env DEBIAN_FRONTEND=noninteractive apt-get -q \
        -o Acquire::Check-Valid-Until=false "$@"
}

# Debootstraps Debian SUITE into ROOT, unless a previous run got that far,
# with the extra packages INCLUDE (comma-separated). ARCH, when given, is one
# this machine runs only through qemu (binfmt_misc registered): debootstrap
# then only unpacks, and its second stage runs inside the root, emulated and
# resumed by the next call if it was cut short.
#
#     debian_bootstrap SUITE ROOT [ARCH [INCLUDE]]
debian_bootstrap() {
    local suite=$1 root=$2 arch=${3:-} include=${4:-}
    [ -x "$root/usr/bin/apt-get" ] && [ ! -e "$root/debootstrap" ] && return 0
    command -v debootstrap >/dev/null ||
        { apt-get update -qq && apt-get install -y -qq debootstrap; } || return 1
    if [ -z "$arch" ] || [ ! -x "$root/debootstrap/debootstrap" ]; then
        rm -rf "$root"
        mkdir -p "$(dirname "$root")"
        # shellcheck disable=SC2046
        debootstrap --variant=minbase ${include:+--include="$include"} \
            ${arch:+--arch="$arch" --foreign} "$suite" "$root" $(debian_mirror) || return 1
    fi
    [ -z "$arch" ] || niced debian_chroot_run "$root" "" "" /debootstrap/debootstrap --second-stage
}

# Runs a command (a function too) at the lowest priority: emulated work must
# not slow what else this machine runs.
niced() {
    (renice -n 19 -p "$BASHPID" >/dev/null && "$@")
}

# Runs a command inside the unstable chroot, with the checkout and the
# matrix cache at the paths they have outside, so that paths (of venvs,
# logs, the checkout) read the same inside and out. Extra bind mounts:
# SID_BINDS="outside:inside ...".
sid_run() {
    debian_chroot_run "$SID_ROOT" /etc/ssl/host-ca.crt \
        "$SID_CHECKOUT:$SID_CHECKOUT $VTX_MATRIX_CACHE:$VTX_MATRIX_CACHE ${SID_BINDS:-}" "$@"
}

sid_apt() { debian_apt sid_run "$@"; }

# Makes the chroot, or completes one that a previous run left unfinished.
# SID_ROOT.READY marks a chroot whose interpreters work.
sid_setup() {
    [ -e "$SID_ROOT.READY" ] && return 0
    debian_bootstrap sid "$SID_ROOT" || return 1
    # pip inside trusts what pip outside trusts.
    mkdir -p "$SID_ROOT/etc/ssl" && cp "${PIP_CERT:-/etc/ssl/certs/ca-certificates.crt}" "$SID_ROOT/etc/ssl/host-ca.crt" ||
        return 1
    cp /etc/resolv.conf "$SID_ROOT/etc/resolv.conf"
    sid_apt update || return 1
    # shellcheck disable=SC2086
    sid_apt install -y --no-install-recommends $SID_PACKAGES || return 1
    sid_run python3.14 -c 'import sysconfig, venv; assert sysconfig.get_config_h_filename()' &&
        sid_run python3.15 -c 'import sysconfig, venv; assert sysconfig.get_config_h_filename()' &&
        sid_run test -e /usr/include/python3.14/Python.h &&
        sid_run test -e /usr/include/python3.15/Python.h &&
        touch "$SID_ROOT.READY"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    set -uo pipefail
    case ${1:-} in
        setup) sid_setup ;;
        run) shift && sid_run "$@" ;;
        -h | --help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0" ;;
        *) echo "usage: $0 setup | run CMD ..." >&2 && exit 2 ;;
    esac
fi
