#include "velm/IO/CXyzReader.h"

#include "velm/IO/FileError.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <vector>

namespace IO
{
namespace
{

bool IsSeparator(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == ',';
}
} // namespace

SPointCloud CXyzReader::Read(const std::string& fileName)
{
    const std::string content = ReadWholeFile(fileName);
    return Parse(reinterpret_cast<const uint8_t*>(content.data()), content.size(), fileName);
}

SPointCloud CXyzReader::Parse(const uint8_t* data, size_t size, const std::string& fileName)
{
    const char* text = reinterpret_cast<const char*>(data);
    SPointCloud cloud;
    size_t columns = 0; // fixed by the first line with values
    uint64_t columnsLine = 0;
    uint64_t lineNo = 0;
    size_t pos = 0;
    std::vector<double> values;
    while (pos < size)
    {
        ++lineNo;
        size_t end = pos;
        while (end < size && text[end] != '\n')
            ++end;
        size_t stop = end;
        for (size_t i = pos; i < end; ++i)
            if (text[i] == '#')
            {
                stop = i;
                break;
            }

        values.clear();
        size_t i = pos;
        for (;;)
        {
            while (i < stop && IsSeparator(text[i]))
                ++i;
            if (i >= stop)
                break;
            size_t j = i;
            while (j < stop && !IsSeparator(text[j]))
                ++j;
            const char* first = text + i;
            if (j - i > 1 && *first == '+' && first[1] != '-' && first[1] != '+')
                ++first;
            double v = 0.0;
            const auto r = std::from_chars(first, text + j, v);
            if (r.ec == std::errc::result_out_of_range && r.ptr == text + j)
                v = std::strtod(std::string(first, text + j).c_str(), nullptr);
            else if (r.ec != std::errc() || r.ptr != text + j)
                ThrowFileErrorAtLine(VELM_HERE, "IO::CXyzReader::Parse", fileName, lineNo,
                                     "'" + std::string(text + i, j - i) + "' is not a number");
            if (!std::isfinite(v) || std::fabs(v) > std::numeric_limits<float>::max())
                ThrowFileErrorAtLine(VELM_HERE, "IO::CXyzReader::Parse", fileName, lineNo,
                                     "'" + std::string(text + i, j - i) + "' is not a finite single-precision value");
            values.push_back(v);
            i = j;
        }
        pos = end + 1;
        if (values.empty())
            continue;
        if (values.size() != 3 && values.size() != 6)
            ThrowFileErrorAtLine(VELM_HERE, "IO::CXyzReader::Parse", fileName, lineNo,
                                 "expected 3 values (x y z) or 6 (x y z nx ny nz), found " +
                                     std::to_string(values.size()));
        if (columns == 0)
        {
            columns = values.size();
            columnsLine = lineNo;
        }
        else if (values.size() != columns)
            ThrowFileErrorAtLine(VELM_HERE, "IO::CXyzReader::Parse", fileName, lineNo,
                                 std::to_string(values.size()) + " values, but line " + std::to_string(columnsLine) +
                                     " has " + std::to_string(columns));
        cloud.vecPositions.emplace_back(static_cast<float>(values[0]), static_cast<float>(values[1]),
                                        static_cast<float>(values[2]));
        if (columns == 6)
            cloud.vecNormals.emplace_back(static_cast<float>(values[3]), static_cast<float>(values[4]),
                                          static_cast<float>(values[5]));
    }
    if (cloud.vecPositions.empty())
        ThrowFileError(VELM_HERE, "IO::CXyzReader::Parse", fileName,
                       size == 0 ? "the file is empty" : "the file holds no points");
    return cloud;
}
} // namespace IO
