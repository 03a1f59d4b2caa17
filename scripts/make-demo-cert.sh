#!/usr/bin/env bash
# Writes the demo's development certificate "zal.pem" into FOLDER (default: the
# current folder) unless one is already there: a self-signed certificate for
# 127.0.0.1 and localhost (subjectAltName), followed by its private key
# encrypted under the pass phrase the demo stores, "kfx.pem".
#   make-demo-cert.sh [FOLDER]
set -euo pipefail
folder=${1:-.}
target="$folder/zal.pem"
[ -e "$target" ] && exit 0
mkdir -p "$folder"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -sha256 -days 825 \
  -subj /CN=localhost -addext subjectAltName=IP:127.0.0.1,DNS:localhost \
  -keyout "$work/key.pem" -out "$work/cert.pem" -passout pass:kfx.pem 2>/dev/null
cat "$work/cert.pem" "$work/key.pem" > "$work/zal.pem"
chmod 600 "$work/zal.pem"
mv "$work/zal.pem" "$target"
