#!/usr/bin/env bash
# Installs the Debian packages that Quorvel needs to build, run and test, when any is missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev libqt6dbus6 libqt6widgets6 qt6-qpa-plugins libplist-dev libcurl4-openssl-dev zlib1g-dev libicu-dev libglib2.0-dev
  shared-mime-info ca-certificates qt6-image-formats-plugins libsecret-1-dev libproxy-dev libproxy1-plugin-webkit duktape-dev
  desktop-file-utils xdg-utils
)
if [ "${1:-}" = "--test" ]; then
  packages+=(libgtest-dev googletest nginx-light openssl python3 curl dbus-daemon dbus-bin squid dante-server
    gnome-keyring util-linux xvfb x11-utils imagemagick appstream ccache)
fi

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [ "$status" = "install ok installed" ] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}" >&2
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q </dev/null
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
