"""Registers two bundled bunny scans (45 degrees apart, no start given) and prints the verdict."""
import sys

import velm

data = sys.argv[1] if len(sys.argv) > 1 else "data"
fix = velm.read_point_cloud(data + "/bun000.ply", units="m")
floating = velm.read_point_cloud(data + "/bun045.ply", units="m")
result = velm.register(fix, floating)
print(result.state, "-", result.verdict)
print(result.transformation)  # maps FLOAT onto FIX, metres
sys.exit(0 if result.success else 2)
