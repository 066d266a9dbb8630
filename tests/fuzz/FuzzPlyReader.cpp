// libFuzzer target: any byte string given to the PLY reader either parses into a consistent cloud or
// throws the library's exception; nothing else may happen.
#include "velm/Frame/VelmException.h"
#include "velm/IO/CPlyReader.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    try
    {
        const IO::SPointCloud c = IO::CPlyReader::Parse(data, size, "fuzz.ply");
        const size_t n = c.GetCount();
        if (n == 0 || (c.HasNormals() && c.vecNormals.size() != n) ||
            (c.HasConfidence() && c.vecConfidence.size() != n))
            std::abort();
        if (static_cast<uint64_t>(c.uiGridRows) * c.uiGridCols != c.vecGrid.size())
            std::abort();
        for (int32_t cell : c.vecGrid)
            if (cell < -1 || cell >= static_cast<int64_t>(n))
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
