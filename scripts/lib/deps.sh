# Installs the Debian packages a script needs. Sourced by the scripts in scripts/.
# As root it runs apt-get; otherwise it prints the exact command and stops. With
# without_recommends=1 set for the call, recommended packages are left out.

# Packages every build needs: compiler, CMake, Xlib, libXau, Xinerama, XScrnSaver and XTEST
# headers, GoogleTest.
build_packages=(g++ cmake make pkg-config libx11-dev libxau-dev libxinerama-dev libxss-dev
                libxtst-dev libgtest-dev)

missing_packages() {
    local package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' \
            || printf '%s\n' "$package"
    done
}

ensure_packages() {
    if ! command -v dpkg-query >/dev/null 2>&1; then
        echo "Not a Debian system: install the packages named in README.md yourself." >&2
        return 0
    fi
    local missing
    mapfile -t missing < <(missing_packages "$@")
    [ "${#missing[@]}" -eq 0 ] && return 0
    local command="apt-get update && apt-get install -y ${without_recommends:+--no-install-recommends }${missing[*]}"
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing packages. Install them with:" >&2
        echo "  sudo sh -c '$command'" >&2
        exit 1
    fi
    local options=(-y -qq)
    [ -z "${without_recommends:-}" ] || options+=(--no-install-recommends)
    echo "Installing: ${missing[*]}" >&2
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install "${options[@]}" "${missing[@]}" >/dev/null
}

parallel_jobs() {
    nproc 2>/dev/null || sysctl -n hw.ncpu 2>/dev/null || echo 2
}
