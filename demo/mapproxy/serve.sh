#!/bin/sh
# Runs the demo tile service in the foreground: MapProxy serving WMTS (KVP
# and REST) in front of a WMS, on 127.0.0.1.
#
#   serve.sh PORT WMS_URL [serve.py options]
#   serve.sh 18090 http://127.0.0.1:18080/wms
#
# PORT 0 takes a free port. Prints "listening on 127.0.0.1:PORT" once it
# serves; Ctrl-C or SIGTERM stops it. The run folder (OGC_MAPPROXY_RUN_DIR,
# default /tmp/ogcweb-mapproxy) keeps the filled-in mapproxy.yaml and the
# tile cache; delete its cache_data to start afresh.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
python=${MAPPROXY_PYTHON:-/usr/bin/python3}

if [ $# -lt 2 ]; then
    sed -n '2,11p' "$0" >&2
    exit 2
fi
port=$1
wms_url=$2
shift 2

if ! "$python" -c 'import mapproxy' 2>/dev/null; then
    echo "serve.sh: MapProxy is not importable by $python (Debian package mapproxy)" >&2
    exit 1
fi

exec "$python" "$here/serve.py" --port "$port" --wms-url "$wms_url" "$@"
