# Sourced by run.sh, test.sh and bench/run.sh: installs the Debian packages a step
# needs when they are missing (as root), or says exactly what to run (otherwise).
# Usage: quorvex_need_packages pkg...

quorvex_need_packages() {
    local missing=() pkg
    for pkg in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$pkg")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing packages. Please run:" >&2
        echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
        exit 1
    fi
    echo "Installing: ${missing[*]}" >&2
    if [ -z "${QUORVEX_APT_UPDATED:-}" ]; then
        apt-get update -qq
        export QUORVEX_APT_UPDATED=1
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
}

QUORVEX_BUILD_PACKAGES=(cmake make g++ qt6-base-dev libcurl4-openssl-dev libssl-dev ca-certificates)
QUORVEX_RUN_PACKAGES=(xdg-utils qt6-wayland)
QUORVEX_TEST_PACKAGES=(xvfb xauth xdotool nginx-light python3 x11-utils clang libclang-rt-14-dev desktop-file-utils
    weston man-db systemd openssl strace)
