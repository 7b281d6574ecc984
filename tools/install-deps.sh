#!/bin/sh
# Installs the Debian packages Quorvel needs to build, test and run its demo.
# Does nothing when all are present; uses sudo when not run as root.
set -eu

PACKAGES="build-essential cmake pkg-config git
googletest libgtest-dev libgmock-dev libbenchmark-dev
libusb-1.0-0-dev libhidapi-dev libcurl4-openssl-dev zlib1g-dev
libzmq3-dev libczmq-dev
iproute2 util-linux procps openssl"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done

[ -z "$missing" ] && exit 0

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null 2>&1; then
        SUDO="sudo"
    else
        echo "install-deps: missing packages:$missing (run as root or install sudo)" >&2
        exit 1
    fi
fi

echo "install-deps: installing$missing"
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get update -q
# shellcheck disable=SC2086
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $missing
