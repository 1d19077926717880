#!/usr/bin/env bash
# Regenerates the sample firmware images from seeded random data (the data is
# ours; no real firmware is involved). Run from anywhere; writes beside itself.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
mk="python3 $here/../tools/mkimage.py"
# Halbern-16: main board of device type 0x0101 (128-byte blocks), second board 0x0201 (64-byte blocks).
$mk --version 306 --seed 16 --section 0101:8192 --section 0201:4096 --crlf -o "$here/halbern16-v306.ufw"
