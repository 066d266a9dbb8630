#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Base
{
// One 16-bit word per surfel; a non-zero word excludes the surfel from registration.
using CSurfelBitMask = uint16_t;

class CSurfelCollectionMask
{
public:
    explicit CSurfelCollectionMask(size_t count = 0) : m_words(count, 0) {}

    CSurfelBitMask& operator[](size_t i) { return m_words[i]; }
    const CSurfelBitMask& operator[](size_t i) const { return m_words[i]; }
    size_t GetCount() const { return m_words.size(); }

private:
    std::vector<CSurfelBitMask> m_words;
};
} // namespace Base
