#!/usr/bin/env bash
# Installs the built engine into a scratch prefix and builds a consumer
# project against it with find_package.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
prefix=$(mktemp -d /tmp/ogcweb-install.XXXXXX)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix/usr" >/dev/null
cmake -S tests/install -B "$prefix/consumer" -DCMAKE_PREFIX_PATH="$prefix/usr" >/dev/null
cmake --build "$prefix/consumer" >/dev/null
"$prefix/consumer/consumer"
"$prefix/usr/bin/ogcweb" --version
# The Python module, where Debian's Python finds a prefix's packages, with
# the engine installed beside it (not the build tree's).
if [ -d "$build/python" ]; then
    pyver=$(/usr/bin/python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    engine=$(cd / && PYTHONPATH="$prefix/usr/lib/python$pyver/dist-packages" /usr/bin/python3 -c \
        'import ogcweb; print(ogcweb._ogcweb.engine_path())')
    case "$engine" in
        "$prefix"/*) echo "python module: engine $engine" ;;
        *) echo "the installed Python module loads $engine, not the installed engine" >&2; exit 1 ;;
    esac
fi
echo "install check: ok"
