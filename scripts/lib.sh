# Shared by the project's scripts: finding CPython 3.13, the venv, system packages.
# Source it; it defines functions and sets no options of the caller's.

CARRACK_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# Prints the path of a working CPython of the given version (default 3.13);
# PYTHON=... overrides. pyenv shims may exist yet fail unless selected, so each
# candidate is run before it is trusted.
find_python() {
    local version="${1:-3.13}" candidate
    if [ -n "${PYTHON:-}" ] && [ "$version" = "3.13" ]; then
        echo "$PYTHON"
        return 0
    fi
    local root=""
    command -v pyenv >/dev/null 2>&1 && root="$(pyenv root 2>/dev/null)"
    [ -z "$root" ] && [ -d "$HOME/.pyenv" ] && root="$HOME/.pyenv"
    for candidate in "python$version" "/usr/bin/python$version" "/usr/local/bin/python$version" \
        ${root:+$root/versions/$version*/bin/python$version}; do
        if "$candidate" -c "import sys; assert sys.version_info[:2] == tuple(map(int, '$version'.split('.')))" \
            >/dev/null 2>&1; then
            command -v "$candidate" 2>/dev/null || echo "$candidate"
            return 0
        fi
    done
    return 1
}

# Installs Debian packages that are missing (as root, or through sudo).
apt_install() {
    local missing=() pkg
    for pkg in "$@"; do
        dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    echo "installing: ${missing[*]}" >&2
    $sudo apt-get update -qq && DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

# Creates (once) and prints the project's venv for CPython 3.13 (or PYTHON),
# or for the version given: .venv for 3.13, .venv-X.Y for others, .venv-X.Yt
# for a free-threaded build; a suffix names a variant (e.g. "-sanitize").
ensure_venv() {
    local version="${1:-3.13}" variant="${2:-}" python actual venv
    python="$(find_python "$version")" || { echo "CPython $version not found; set PYTHON=..." >&2; return 1; }
    actual="$("$python" -c 'import sys, sysconfig
print("%d.%d" % sys.version_info[:2] + "t" * bool(sysconfig.get_config_var("Py_GIL_DISABLED")))')"
    venv="$CARRACK_ROOT/.venv"
    [ "$actual" != "3.13" ] && venv="$venv-$actual"
    venv="$venv$variant"
    # A venv whose making was interrupted has no pip: make it again.
    if [ ! -x "$venv/bin/python" ] || ! "$venv/bin/python" -m pip --version >/dev/null 2>&1; then
        "$python" -m venv --clear "$venv" >&2 || return 1
        "$venv/bin/python" -m pip install -q --upgrade pip >&2 || return 1
    fi
    echo "$venv"
}
