#!/bin/sh
# Rebuilds data/signatures.avsg from data/feed.txt with the project's feed builder.
# The digests listed are those of the EICAR test file (bare, and with a CRLF or
# LF line end) and of a harmless sample file whose content is the single line
# "Keltharon Antivirus signature feed test file"; no real malware is listed.
# Usage: data/make_feed.sh BUILD_DIR [VERSION]
set -eu
here=$(dirname "$0")
"$1/tools/feed-builder" "$here/feed.txt" "$here/signatures.avsg" "${2:-1765324800}"
