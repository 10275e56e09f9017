# Sourced by the build scripts: makes sure the Debian packages named in the arguments are
# installed, installing the missing ones when running as root.
ensure_packages() {
    local missing=()
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "ok installed" || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -eq 0 ]; then
        echo "installing ${missing[*]}"
        apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
    else
        echo "missing Debian packages: ${missing[*]} (run as root, or: sudo apt-get install ${missing[*]})" >&2
        return 1
    fi
}
