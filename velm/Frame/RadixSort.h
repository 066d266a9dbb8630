#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

// Sorts keys ascending, carrying the values along, stably: equal keys keep the order they had (so
// values given in ascending order break ties by value). A least-significant-digit radix sort of the
// low `keyBits` bits of the keys, 11 bits a pass, every digit's counts gathered in one reading; a pass
// whose digit all keys share is skipped. Bits above `keyBits` must be zero.
inline void RadixSortByKey(std::vector<uint64_t>& keys, std::vector<uint32_t>& values, int keyBits)
{
    constexpr int kDigitBits = 11;
    constexpr size_t kDigits = size_t{1} << kDigitBits;
    constexpr uint64_t kMask = kDigits - 1;
    const size_t count = keys.size();
    const int passes = (keyBits + kDigitBits - 1) / kDigitBits;
    if (count < 2 || passes <= 0)
        return;
    std::vector<uint32_t> offsets(static_cast<size_t>(passes) * kDigits, 0u);
    for (const uint64_t key : keys)
        for (int pass = 0; pass < passes; ++pass)
            ++offsets[static_cast<size_t>(pass) * kDigits + ((key >> (pass * kDigitBits)) & kMask)];
    std::vector<uint64_t> keysOut(count);
    std::vector<uint32_t> valuesOut(count);
    for (int pass = 0; pass < passes; ++pass)
    {
        const int shift = pass * kDigitBits;
        uint32_t* offset = offsets.data() + static_cast<size_t>(pass) * kDigits;
        if (offset[(keys[0] >> shift) & kMask] == count)
            continue;
        uint32_t sum = 0;
        for (size_t d = 0; d < kDigits; ++d)
            sum += std::exchange(offset[d], sum);
        for (size_t i = 0; i < count; ++i)
        {
            const uint32_t at = offset[(keys[i] >> shift) & kMask]++;
            keysOut[at] = keys[i];
            valuesOut[at] = values[i];
        }
        keys.swap(keysOut);
        values.swap(valuesOut);
    }
}
