// libFuzzer target: the XYZ reader either parses into a consistent cloud or throws the library's exception.
#include "velm/Frame/VelmException.h"
#include "velm/IO/CXyzReader.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    try
    {
        const IO::SPointCloud c = IO::CXyzReader::Parse(data, size, "fuzz.xyz");
        if (c.GetCount() == 0 || (c.HasNormals() && c.vecNormals.size() != c.GetCount()))
            std::abort();
        for (const CbVector3f& p : c.vecPositions)
            if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z))
                std::abort();
    }
    catch (const VelmException&)
    {
    }
    return 0;
}
