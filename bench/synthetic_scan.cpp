// Writes two range scans of the synthetic surface for bench/scale.py: FIX over a 200 mm square, FLOAT
// over the same square shifted by 40 mm and stored in a frame of its own, each with about POINTS
// points in scan-line order (binary PLY with the range grid, millimetres, no normals). Prints the
// alignment of FLOAT onto FIX and a start 5 degrees and 5 mm away from it, each as 16 numbers row by
// row (usual layout), on two lines.
//
//     bench_synthetic_scan FIX.ply FLOAT.ply POINTS

#include "SyntheticScans.h"

#include "velm/IO/CPlyWriter.h"
#include "velm/Pipeline/Motion.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace
{
void PrintUsual(CbMatrix4Rd m)
{
    // An inverse leaves rounding in the last row; a rigid motion has none.
    m.e[3] = m.e[7] = m.e[11] = 0.0;
    m.e[15] = 1.0;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            std::printf("%.17g%s", m.Usual(r, c), r == 3 && c == 3 ? "\n" : " ");
}
} // namespace

int main(int argc, char** argv)
{
    if (argc != 4)
    {
        std::fprintf(stderr, "usage: bench_synthetic_scan FIX.ply FLOAT.ply POINTS\n");
        return 1;
    }
    const double points = std::atof(argv[3]);
    const int side = static_cast<int>(std::lround(std::sqrt(points)));
    if (side < 10)
    {
        std::fprintf(stderr, "bench_synthetic_scan: at least 100 points\n");
        return 1;
    }
    SyntheticScans::SWindow window;
    window.x0 = -50.0;
    window.y0 = -50.0;
    window.cols = window.rows = side;
    window.spacing = 200.0 / side;
    window.noise = 0.02;
    window.seed = 1;
    const CbMatrix4Rd toFloat = SyntheticScans::Motion(CbVector3d(1, 2, 3), 25.0, CbVector3d(-30.0, 20.0, 10.0));
    // A scanner writes points without normals: the tools estimate them.
    IO::SPointCloud fix = SyntheticScans::Scan(window);
    fix.vecNormals.clear();
    IO::CPlyWriter::Write(argv[1], fix);
    window.x0 += 40.0;
    window.seed = 2;
    IO::SPointCloud flt = SyntheticScans::Scan(window, toFloat);
    flt.vecNormals.clear();
    IO::CPlyWriter::Write(argv[2], flt);

    // FLOAT onto FIX, and a start turned 5 degrees about FLOAT's middle and shifted 5 mm.
    const CbMatrix4Rd truth = toFloat.Inverted();
    const CbVector3d middle = truth.TransformPoint(toFloat.TransformPoint(CbVector3d(90.0, 50.0, 0.0)));
    const CbMatrix4Rd start =
        truth * Pipeline::TurnAbout(middle, CbVector3d(2, -1, 1), 5.0) * CbMatrix4Rd::Translation(3.0, 4.0, 0.0);
    PrintUsual(truth);
    PrintUsual(start);
    return 0;
}
