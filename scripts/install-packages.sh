# shellcheck shell=bash
# Sourced by the scripts that install what the project needs on Debian 12.
#
# vemo_install_missing UPDATED PACKAGE...
#   Installs those of the Debian packages that are not installed yet. UPDATED
#   is true when the caller has just run apt-get update; otherwise one runs
#   first, and only when something is missing.
vemo_install_missing() {
    local updated=$1
    shift
    local sudo_cmd=() missing=() p
    if [ "$(id -u)" -ne 0 ]; then
        sudo_cmd=(sudo)
    fi
    for p in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$p")
        fi
    done
    if [ ${#missing[@]} -eq 0 ]; then
        return 0
    fi
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    if ! $updated; then
        "${sudo_cmd[@]}" apt-get update -q
    fi
    "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
}
