// A program outside the project: it must compile against the installed headers and link the
// installed library with nothing but find_package(Velm).
// The umbrella header: every installed public header must compile on its own terms.
#include "velm/Velm.h"

#include <cstdio>

// The solver's header includes CHOLMOD's and the solve links CHOLMOD, so this proves the package
// hands both on to its consumers.
static bool SolvesWithCholmod()
{
    CSparseCholeskySolver solver;
    CSparseCholeskySolver::SparseMatrix a = solver.CreateSparseMatrix(2);
    a.NextVector();
    a.AddValue(0, 4.0);
    a.NextVector();
    a.AddValue(0, 2.0);
    a.AddValue(1, 3.0);
    CSparseCholeskySolver::DenseMatrix b = solver.CreateDenseMatrix(2, 1);
    b(0, 0) = 2.0;
    b(1, 0) = 5.0;
    if (!solver.Factorize(a) || !solver.Solve(b))
        return false;
    std::printf("solved: %g %g\n", b(0, 0), b(1, 0));
    return b(0, 0) == -0.5 && b(1, 0) == 2.0;
}

int main()
{
    CbMatrix4Rd m = CbMatrix4Rd::Translation(1.0, 2.0, 3.0);
    m.Invert();
    const CbVector3d p = m.TransformPoint(CbVector3d(1.0, 2.0, 3.0));
    if (p.x != 0.0 || p.y != 0.0 || p.z != 0.0)
        return 1;
    if (!SolvesWithCholmod())
        return 3;
    try
    {
        ThrowFormattedException("consumer", 1, "main", L"value %d", 42);
    }
    catch (const std::exception& e)
    {
        std::printf("caught: %s\n", e.what());
        return 0;
    }
    return 2;
}
