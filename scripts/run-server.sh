#!/usr/bin/env bash
# Builds paramserver (installing what is missing) and runs it as a console program
# on its defaults: RPC administration on TCP 45432, parameter server on UDP 25002.
# Ctrl+C ends it in order.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$here/scripts/setup.sh" "$here/build"
exec "$here/build/RemoteParams/paramserver" -e "$@"
