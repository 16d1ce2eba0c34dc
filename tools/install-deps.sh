#!/usr/bin/env bash
# Installs the Debian packages listed in tools/debian-packages.txt that are not
# installed yet, and the npm packages of tools/npm (browser tests). Run as root.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
missing=()
while read -r pkg; do
  [[ -z "$pkg" || "$pkg" == \#* ]] && continue
  status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$pkg")
done < "$here/debian-packages.txt"
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
# Node.js may come from elsewhere than Debian; only a machine without npm gets Debian's.
if ! command -v npm >/dev/null 2>&1; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends nodejs npm
fi
if [[ -f "$here/npm/package.json" && ! -d "$here/npm/node_modules" ]]; then
  (cd "$here/npm" && npm install --no-audit --no-fund --loglevel=error)
fi
