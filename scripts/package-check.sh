#!/usr/bin/env bash
# Builds the Debian package from a Release build without sanitizers, checks it with
# lintian (any error fails), installs it with apt-get, and runs the installed program:
# --version, then one status request on a private virtual desktop, its answer held to
# docs/openapi.yaml, and a short MCP session with --mcp. Runs alone or from scripts/test.sh.
# A package that was not installed before is removed again at the end.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
build=build
name=velmar-computer-use
version=$(sed -nE "s/^project\($name VERSION ([0-9.]+).*/\1/p" CMakeLists.txt)
deb="$PWD/$build/${name}_${version}_$(dpkg --print-architecture).deb"

# The same configuration as scripts/run.sh, so the two share one build.
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR="$PWD"
fi
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELMAR_SANITIZE=OFF -DVELMAR_TESTS=OFF \
  -DVELMAR_BENCH=OFF "${launcher[@]}" >/dev/null
rm -f "$deb"
cmake --build "$build" --target package
test -f "$deb" || { echo "package-check: $deb was not written" >&2; exit 1; }

echo "package-check: lintian" >&2
lintian --fail-on error --tag-display-limit 0 "$deb"

installed_before=no
dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q 'install ok installed' && installed_before=yes
cleanup() {
  if [ "$installed_before" = no ]; then
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get remove -y -qq "$name" >/dev/null || true
  fi
}
trap cleanup EXIT
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --reinstall "$deb" >/dev/null
dpkg-query -W -f='package-check: installed ${Package} ${Version}, depends on ${Depends}\n' "$name" >&2

said=$("/usr/bin/$name" --version)
if [ "$said" != "$version" ]; then
  echo "package-check: /usr/bin/$name --version said '$said', not '$version'" >&2
  exit 1
fi

VELMAR_BINARY="/usr/bin/$name" VELMAR_VERSION="$version" /usr/bin/python3 - <<'EOF'
import json
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, "tests/e2e")
from harness import Program, VirtualDesktop  # noqa: E402

with VirtualDesktop(1024, 768) as desktop:
    with Program(env=dict(desktop.env(), PULSE_SERVER="unix:/nonexistent/velmar/native")) as program:
        status, body, _ = program.request("GET", "/status")
        # Without a sound server the start fails for want of sources, which it reaches only
        # once the audio encoder module has loaded from where the package put it.
        with tempfile.TemporaryDirectory() as folder:
            started, refusal, _ = program.request("POST", "/audio/start", {"directory": folder})
    # Registered in an MCP host the way the README shows: the installed path with --mcp,
    # one message a line in, one answer a line out, ended by closing standard input.
    messages = [{"jsonrpc": "2.0", "id": 1, "method": "initialize",
                 "params": {"protocolVersion": "2025-11-25", "capabilities": {},
                            "clientInfo": {"name": "package-check", "version": "1"}}},
                {"jsonrpc": "2.0", "method": "notifications/initialized"},
                {"jsonrpc": "2.0", "id": 2, "method": "tools/call", "params": {"name": "get_status"}}]
    mcp = subprocess.run([os.environ["VELMAR_BINARY"], "--mcp"], env=dict(os.environ, **desktop.env()),
                         input="".join(json.dumps(m) + "\n" for m in messages), capture_output=True, text=True,
                         timeout=30)
answers = [json.loads(line) for line in mcp.stdout.splitlines()]
assert mcp.returncode == 0 and [a["id"] for a in answers] == [1, 2], (mcp.returncode, mcp.stdout, mcp.stderr)
assert answers[0]["result"]["serverInfo"]["version"] == os.environ["VELMAR_VERSION"], answers[0]
assert answers[1]["result"]["structuredContent"]["version"] == os.environ["VELMAR_VERSION"], answers[1]
assert status == 200, (status, body)
assert started == 500 and "no audio source" in refusal["message"], (started, refusal)
assert body["version"] == os.environ["VELMAR_VERSION"], body
assert body["display"] == {"width": 1024, "height": 768, "scale": 1.0}, body
print(f"package-check: the installed program answered its status: {body}", file=sys.stderr)
print("package-check: the installed program answered over MCP with --mcp", file=sys.stderr)
EOF
echo "package-check: $deb passed"
