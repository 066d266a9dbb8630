#!/usr/bin/env bash
# Installs what is missing, builds velm-register and registers two of the bundled bunny scans
# (data/bun045.ply onto data/bun000.ply) from a start 8 degrees and 6 mm away from their published
# alignment (data/bun045-start.txt), then prints the result beside the published alignment
# (data/bun045-published.txt, from data/bun.conf).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/install-deps.sh

build=${VELM_DEMO_BUILD:-build/demo}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DVELM_BUILD_TESTS=OFF -DVELM_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --target velm-register -j "${VELM_JOBS:-2}"

# The start (the published alignment turned by 8 degrees and shifted by 6 mm) and the published
# alignment, both in the usual 4x4 layout (p -> M p, metres), as committed in data/.
numbers() { grep -v '^#' "$1" | tr -s ' \n' ',' | sed 's/^,//; s/,$//'; }
start=$(numbers data/bun045-start.txt)
published=$(numbers data/bun045-published.txt)

echo "=== velm-register data/bun000.ply data/bun045.ply --units m --init <start>"
status=0
summary=$("$build/tools/velm-register" data/bun000.ply data/bun045.ply --units m --init "$start" \
  --output "$build/demo-result.json" --aligned "$build/bun045-aligned.ply") || status=$?
echo "$summary"
echo "published alignment (data/bun045-published.txt), for comparison:"
echo "$published" | tr ',' ' ' | awk '{ for (r = 0; r < 4; r++) printf "  %13.9f %13.9f %13.9f %13.9f\n", $(4*r+1), $(4*r+2), $(4*r+3), $(4*r+4) }'
echo "start transformation used:"
echo "$start" | tr ',' ' ' | awk '{ for (r = 0; r < 4; r++) printf "  %13.9f %13.9f %13.9f %13.9f\n", $(4*r+1), $(4*r+2), $(4*r+3), $(4*r+4) }'
# How far the result lies from the published alignment: rotation angle and translation of
# result * inverse(published), in the fixed scan's frame.
{ echo "$published" | tr ',' ' '; echo "$summary" | awk '/^transformation/ { n = 4; next } n > 0 { printf "%s %s %s %s ", $1, $2, $3, $4; n-- } END { print "" }'; } |
  awk 'NR == 1 { for (i = 1; i <= 16; i++) P[i] = $i } NR == 2 && NF == 16 {
    for (i = 1; i <= 16; i++) M[i] = $i
    tr = 0; for (r = 0; r < 3; r++) for (k = 0; k < 3; k++) { E[r,k] = 0; for (j = 0; j < 3; j++) E[r,k] += M[4*r+j+1] * P[4*k+j+1]; if (r == k) tr += E[r,k] }
    for (r = 0; r < 3; r++) { t[r] = M[4*r+4]; for (k = 0; k < 3; k++) t[r] -= E[r,k] * P[4*k+4] }
    c = (tr - 1) / 2; if (c > 1) c = 1; if (c < -1) c = -1
    printf "difference from the published alignment: %.3f degrees, %.3f mm\n", atan2(sqrt(1 - c*c), c) * 180 / atan2(0, -1), 1000 * sqrt(t[0]^2 + t[1]^2 + t[2]^2) }'
echo "result: $build/demo-result.json, moved scan: $build/bun045-aligned.ply (exit status $status)"
exit $status
