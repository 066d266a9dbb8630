// A program outside the project: it must compile against the installed headers and link the
// installed library with nothing but find_package(Velm).
#include "velm/Frame/CbMatrix4.h"
#include "velm/Frame/VelmException.h"

#include <cstdio>

int main()
{
    CbMatrix4Rd m = CbMatrix4Rd::Translation(1.0, 2.0, 3.0);
    m.Invert();
    const CbVector3d p = m.TransformPoint(CbVector3d(1.0, 2.0, 3.0));
    if (p.x != 0.0 || p.y != 0.0 || p.z != 0.0)
        return 1;
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
