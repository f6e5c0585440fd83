# Shared by scripts/test-matrix.sh and scripts/test-debug.sh: the matrix
# cache, the torch of each interpreter, pip from the wheel cache, and running
# a command on this machine or in the Debian unstable chroot.
CACHE=${VTX_MATRIX_CACHE:-$HOME/.cache/vantorix-matrix}
export VTX_MATRIX_CACHE=$CACHE
# shellcheck source=scripts/chroot-sid.sh
source "$(dirname "${BASH_SOURCE[0]}")/chroot-sid.sh"
WHEELS=$CACHE/wheels
mkdir -p "$WHEELS" "$CACHE/venvs" "$CACHE/logs"

# The torch pins below are exact; a machine-wide pip constraints file must
# not veto them.
export PIP_CONSTRAINT=/dev/null

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
# only when the cache cannot satisfy them.
install_cached() {
    local python=$1
    shift
    quiet_pip on "$python" -m pip install -q --no-index --find-links "$WHEELS" "$@" 2>/dev/null &&
        return
    quiet_pip on "$python" -m pip download -q -d "$WHEELS" "$@" &&
        quiet_pip on "$python" -m pip install -q --no-index --find-links "$WHEELS" "$@"
}

# Runs a command where the interpreter of this round lives: $where is host
# or sid.
on() {
    case $where in
        sid) sid_run "$@" ;;
        *) "$@" ;;
    esac
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
        on "$python" -m venv "$venv" &&
            quiet_pip on "$venv/bin/python" -m pip install -q --upgrade pip 2>/dev/null
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
