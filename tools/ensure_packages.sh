#!/usr/bin/env bash
# ensure_packages.sh PACKAGE...: makes sure the Debian packages are installed.
# As root it installs the missing ones (apt-get update, then one apt-get
# install); otherwise it prints the one command that installs them and fails.
set -euo pipefail
if ! command -v dpkg-query >/dev/null; then
  echo "not a Debian system: make sure these are installed: $*" >&2
  exit 0
fi
missing=()
for package in "$@"; do
  dpkg-query -W -f='${db:Status-Abbrev}' "$package" 2>/dev/null | grep -q '^ii' ||
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "missing: ${missing[*]}; install them with:" >&2
  echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
  exit 1
fi
echo "== installing: ${missing[*]}"
apt-get update -q
DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
