// The C++ side of bench/python.py's call-overhead measurement: writes a pair of small synthetic scans
// (2 025 points each, millimetres) to FIX.ply and FLOAT.ply, prints the start it registers them from
// (16 numbers, usual layout), and times CALLS registrations through the library's own functions, as a
// C++ program calls them (both scans prepared from the points, then registered; one thread), printing
// the seconds they took.
//
//     bench_python_calls FIX.ply FLOAT.ply CALLS

#include "SyntheticScans.h"

#include "velm/IO/CPlyWriter.h"
#include "velm/Pipeline/RegisterPair.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc != 4)
    {
        std::fprintf(stderr, "usage: bench_python_calls FIX.ply FLOAT.ply CALLS\n");
        return 1;
    }
    SyntheticScans::SWindow window;
    window.cols = window.rows = 45;
    window.spacing = 1.5;
    window.relief = 3.0; // steep enough to pin every motion on so small a patch
    window.noise = 0.02;
    IO::SPointCloud fix = SyntheticScans::Scan(window);
    window.x0 = 15.0;
    window.seed = 2;
    const CbMatrix4Rd toFloat = SyntheticScans::Motion(CbVector3d(1, 2, 3), 20.0, CbVector3d(5.0, -3.0, 2.0));
    IO::SPointCloud flt = SyntheticScans::Scan(window, toFloat);
    fix.vecNormals.clear();
    flt.vecNormals.clear();
    fix.vecGrid.clear();
    flt.vecGrid.clear();
    IO::CPlyWriter::Write(argv[1], fix);
    IO::CPlyWriter::Write(argv[2], flt);

    CbMatrix4Rd start = toFloat.Inverted() * CbMatrix4Rd::Translation(1.0, 0.5, -0.5);
    start.e[3] = start.e[7] = start.e[11] = 0.0;
    start.e[15] = 1.0;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            std::printf("%.17g%s", start.Usual(r, c), r == 3 && c == 3 ? "\n" : " ");

    Pipeline::SRegisterOptions options;
    options.mStart = start;
    options.spThreads = std::make_shared<CThreadPool>(1);
    const int calls = std::atoi(argv[3]);
    int verified = 0;
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < calls; ++i)
    {
        const auto scans =
            Pipeline::PrepareScans({Base::SPointsView::Of(fix), Base::SPointsView::Of(flt)}, {"fix", "floating"},
                                   Pipeline::SScanOptions(), options.spThreads.get());
        verified += Pipeline::RegisterPair(*scans[0], *scans[1], options).GetSuccess();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("%.6f %d\n", seconds, verified);
    return 0;
}
