#!/usr/bin/env bash
# The end-to-end demo; ribex.sh demo runs it after building.
set -euo pipefail
echo "no demo yet"
