#!/usr/bin/env bash
# Installs what is missing, builds velm-register and registers two of the bundled bunny scans
# (data/bun045.ply onto data/bun000.ply) from a start 8 degrees and 6 mm away from their published
# alignment (data/bun.conf), then prints the result beside the published alignment.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/install-deps.sh

build=${VELM_DEMO_BUILD:-build/demo}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DVELM_BUILD_TESTS=OFF -DVELM_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --target velm-register -j "${VELM_JOBS:-2}"

# The published alignment of bun045 onto bun000 in the usual 4x4 layout (p -> M p, metres), and the
# start: that alignment followed by a turn of 8 degrees about the axis (0.3, 1, 0.2) through the
# bunny's middle, (-0.02, 0.1, 0) m, and a shift of 6 mm.
read -r published start < <(awk '
  function rot(qx, qy, qz, qw, R) {   # R = transpose of the quaternion rotation: scan -> common frame
    R[1,1] = 1-2*(qy*qy+qz*qz); R[2,1] = 2*(qx*qy-qz*qw);   R[3,1] = 2*(qx*qz+qy*qw)
    R[1,2] = 2*(qx*qy+qz*qw);   R[2,2] = 1-2*(qx*qx+qz*qz); R[3,2] = 2*(qy*qz-qx*qw)
    R[1,3] = 2*(qx*qz-qy*qw);   R[2,3] = 2*(qy*qz+qx*qw);   R[3,3] = 1-2*(qx*qx+qy*qy)
  }
  $1 == "bmesh" && $2 == "bun000.ply" { rot($6, $7, $8, $9, A); ta[1] = $3; ta[2] = $4; ta[3] = $5 }
  $1 == "bmesh" && $2 == "bun045.ply" { rot($6, $7, $8, $9, B); tb[1] = $3; tb[2] = $4; tb[3] = $5 }
  END {
    # published = inverse(A) * B: rotation A^T B, translation A^T (tb - ta)
    for (i = 1; i <= 3; i++) {
      for (j = 1; j <= 3; j++) { P[i,j] = 0; for (k = 1; k <= 3; k++) P[i,j] += A[k,i] * B[k,j] }
      P[i,4] = 0; for (k = 1; k <= 3; k++) P[i,4] += A[k,i] * (tb[k] - ta[k])
    }
    # perturbation D: rotation by 8 degrees about axis n through c, then a shift s
    pi = atan2(0, -1); a = 8 * pi / 180; c1 = cos(a); s1 = sin(a); t1 = 1 - c1
    nx = 0.3; ny = 1; nz = 0.2; l = sqrt(nx*nx + ny*ny + nz*nz); nx /= l; ny /= l; nz /= l
    Q[1,1] = t1*nx*nx + c1;    Q[1,2] = t1*nx*ny - s1*nz; Q[1,3] = t1*nx*nz + s1*ny
    Q[2,1] = t1*nx*ny + s1*nz; Q[2,2] = t1*ny*ny + c1;    Q[2,3] = t1*ny*nz - s1*nx
    Q[3,1] = t1*nx*nz - s1*ny; Q[3,2] = t1*ny*nz + s1*nx; Q[3,3] = t1*nz*nz + c1
    c[1] = -0.02; c[2] = 0.1; c[3] = 0; s[1] = 0.004; s[2] = -0.002; s[3] = 0.004
    for (i = 1; i <= 3; i++) {
      d[i] = c[i] + s[i]; for (k = 1; k <= 3; k++) d[i] -= Q[i,k] * c[k]
    }
    # start = D after P
    for (i = 1; i <= 3; i++) {
      for (j = 1; j <= 4; j++) { S[i,j] = 0; for (k = 1; k <= 3; k++) S[i,j] += Q[i,k] * P[k,j] }
      S[i,4] += d[i]
    }
    out1 = ""; out2 = ""
    for (i = 1; i <= 3; i++) for (j = 1; j <= 4; j++) {
      out1 = out1 sprintf("%.9f,", P[i,j]); out2 = out2 sprintf("%.9f,", S[i,j])
    }
    print out1 "0,0,0,1", out2 "0,0,0,1"
  }' data/bun.conf)

echo "=== velm-register data/bun000.ply data/bun045.ply --units m --init <start>"
status=0
summary=$("$build/tools/velm-register" data/bun000.ply data/bun045.ply --units m --init "$start" \
  --output "$build/demo-result.json" --aligned "$build/bun045-aligned.ply") || status=$?
echo "$summary"
echo "published alignment (bun.conf), for comparison:"
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
