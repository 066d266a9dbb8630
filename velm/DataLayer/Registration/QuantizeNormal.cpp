#include "velm/DataLayer/Registration/QuantizeNormal.h"

#include "velm/Base/Interfaces/TQuantizedNormalMultiLevel.h"

namespace DataLayer
{
uint16_t QuantizeNormal(const CbVector3f& direction)
{
    return Base::EncodeNormal(direction);
}
} // namespace DataLayer
