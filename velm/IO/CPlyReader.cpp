#include "velm/IO/CPlyReader.h"

#include "velm/IO/FileError.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

namespace IO
{
namespace
{

enum class EType
{
    Int8,
    UInt8,
    Int16,
    UInt16,
    Int32,
    UInt32,
    Float32,
    Float64
};

size_t SizeOf(EType t)
{
    switch (t)
    {
    case EType::Int8:
    case EType::UInt8: return 1;
    case EType::Int16:
    case EType::UInt16: return 2;
    case EType::Int32:
    case EType::UInt32:
    case EType::Float32: return 4;
    case EType::Float64: return 8;
    }
    return 0;
}

bool IsInteger(EType t)
{
    return t != EType::Float32 && t != EType::Float64;
}

std::optional<EType> ParseType(const std::string& name)
{
    if (name == "char" || name == "int8")
        return EType::Int8;
    if (name == "uchar" || name == "uint8")
        return EType::UInt8;
    if (name == "short" || name == "int16")
        return EType::Int16;
    if (name == "ushort" || name == "uint16")
        return EType::UInt16;
    if (name == "int" || name == "int32")
        return EType::Int32;
    if (name == "uint" || name == "uint32")
        return EType::UInt32;
    if (name == "float" || name == "float32")
        return EType::Float32;
    if (name == "double" || name == "float64")
        return EType::Float64;
    return std::nullopt;
}

struct SProperty
{
    std::string name;
    bool bList = false;
    EType countType = EType::UInt8;
    EType type = EType::Float32;
};

struct SElement
{
    std::string name;
    uint64_t count = 0;
    std::vector<SProperty> properties;
};

enum class EFormat
{
    Ascii,
    BinaryLittle,
    BinaryBig
};

struct SHeader
{
    EFormat format = EFormat::Ascii;
    std::vector<SElement> elements;
    std::optional<uint64_t> gridRows;
    std::optional<uint64_t> gridCols;
    size_t bodyOffset = 0;
    uint64_t bodyLine = 0; // line number of the first body line (ascii)
};

std::vector<std::string> SplitWords(const std::string& line)
{
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size())
    {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            ++i;
        const size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t')
            ++i;
        if (i > start)
            words.push_back(line.substr(start, i - start));
    }
    return words;
}

bool ParseCount(const std::string& text, uint64_t& value)
{
    const char* end = text.data() + text.size();
    const auto r = std::from_chars(text.data(), end, value);
    return r.ec == std::errc() && r.ptr == end;
}

// Where a point's parts sit among the properties of the vertex element.
struct SVertexLayout
{
    int x = -1, y = -1, z = -1;
    int nx = -1, ny = -1, nz = -1;
    int confidence = -1;
};

class CParser
{
public:
    CParser(const uint8_t* data, size_t size, const std::string& fileName)
        : m_data(data), m_size(size), m_name(fileName)
    {
    }

    SPointCloud Run()
    {
        if (m_size == 0)
            ThrowFileError(VELM_HERE, __func__, m_name, "the file is empty");
        ParseHeader();
        FindVertexLayout();
        if (m_header.format == EFormat::Ascii)
            ReadAsciiBody();
        else
            ReadBinaryBody();
        Finish();
        return std::move(m_cloud);
    }

private:
    [[noreturn]] void FailLine(uint64_t line, const std::string& what) const
    {
        ThrowFileErrorAtLine(VELM_HERE, "IO::CPlyReader::Parse", m_name, line, what);
    }
    [[noreturn]] void FailOffset(uint64_t offset, const std::string& what) const
    {
        ThrowFileErrorAtOffset(VELM_HERE, "IO::CPlyReader::Parse", m_name, offset, what);
    }

    // ---- header ----

    // The next header line without its line end; false at the end of the data.
    bool NextHeaderLine(size_t& pos, std::string& line)
    {
        if (pos >= m_size)
            return false;
        const void* nl = std::memchr(m_data + pos, '\n', m_size - pos);
        const size_t end = nl ? static_cast<size_t>(static_cast<const uint8_t*>(nl) - m_data) : m_size;
        line.assign(reinterpret_cast<const char*>(m_data + pos), end - pos);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.pop_back();
        pos = nl ? end + 1 : m_size;
        return true;
    }

    void ParseHeader()
    {
        size_t pos = 0;
        uint64_t lineNo = 0;
        std::string line;
        NextHeaderLine(pos, line);
        ++lineNo;
        if (line != "ply")
            FailLine(1, "not a PLY file (the first line is not \"ply\")");

        bool haveFormat = false;
        for (;;)
        {
            if (!NextHeaderLine(pos, line))
                FailLine(lineNo, "the header has no end_header line");
            ++lineNo;
            const std::vector<std::string> w = SplitWords(line);
            if (w.empty())
                continue;
            const std::string& key = w[0];
            if (key == "end_header")
                break;
            if (key == "comment")
                continue;
            if (key == "obj_info")
            {
                // The range image's size; other obj_info lines carry nothing the points need.
                uint64_t v = 0;
                if (w.size() >= 3 && (w[1] == "num_rows" || w[1] == "num_cols") && ParseCount(w[2], v))
                    (w[1] == "num_rows" ? m_header.gridRows : m_header.gridCols) = v;
                continue;
            }
            if (key == "format")
            {
                if (haveFormat)
                    FailLine(lineNo, "a second format line");
                if (w.size() != 3)
                    FailLine(lineNo, "the format line needs an encoding and a version");
                if (w[1] == "ascii")
                    m_header.format = EFormat::Ascii;
                else if (w[1] == "binary_little_endian")
                    m_header.format = EFormat::BinaryLittle;
                else if (w[1] == "binary_big_endian")
                    m_header.format = EFormat::BinaryBig;
                else
                    FailLine(lineNo, "unknown encoding '" + w[1] + "'");
                if (w[2] != "1.0" && w[2] != "1")
                    FailLine(lineNo, "unsupported PLY version '" + w[2] + "'");
                haveFormat = true;
                continue;
            }
            if (key == "element")
            {
                if (w.size() != 3)
                    FailLine(lineNo, "an element line needs a name and a count");
                SElement e;
                e.name = w[1];
                if (!ParseCount(w[2], e.count))
                    FailLine(lineNo, "the count of element '" + e.name + "' is not a non-negative integer");
                for (const SElement& other : m_header.elements)
                    if (other.name == e.name)
                        FailLine(lineNo, "a second element '" + e.name + "'");
                m_header.elements.push_back(std::move(e));
                continue;
            }
            if (key == "property")
            {
                if (m_header.elements.empty())
                    FailLine(lineNo, "a property before the first element");
                SProperty p;
                if (w.size() >= 2 && w[1] == "list")
                {
                    if (w.size() != 5)
                        FailLine(lineNo, "a list property needs a count type, an item type and a name");
                    const auto ct = ParseType(w[2]);
                    const auto it = ParseType(w[3]);
                    if (!ct || !IsInteger(*ct))
                        FailLine(lineNo, "the count type of a list must be an integer type, not '" + w[2] + "'");
                    if (!it)
                        FailLine(lineNo, "unknown property type '" + w[3] + "'");
                    p.bList = true;
                    p.countType = *ct;
                    p.type = *it;
                    p.name = w[4];
                }
                else
                {
                    if (w.size() != 3)
                        FailLine(lineNo, "a property line needs a type and a name");
                    const auto t = ParseType(w[1]);
                    if (!t)
                        FailLine(lineNo, "unknown property type '" + w[1] + "'");
                    p.type = *t;
                    p.name = w[2];
                }
                SElement& e = m_header.elements.back();
                for (const SProperty& other : e.properties)
                    if (other.name == p.name)
                        FailLine(lineNo, "a second property '" + p.name + "' in element '" + e.name + "'");
                e.properties.push_back(std::move(p));
                continue;
            }
            // Some writers put lines of their own between the format and the first element (three
            // "bye" lines in published range scans); before any element nothing can depend on them.
            // Later, an unknown line might declare something the body holds, so it stays a fault.
            if (m_header.elements.empty())
            {
                std::vector<std::string>& skipped = m_cloud.vecSkippedHeaderKeywords;
                if (std::find(skipped.begin(), skipped.end(), key) == skipped.end())
                    skipped.push_back(key);
                continue;
            }
            FailLine(lineNo, "unknown header keyword '" + key + "'");
        }
        if (!haveFormat)
            FailLine(2, "the header has no format line");
        for (const SElement& e : m_header.elements)
            if (e.count > 0 && e.properties.empty())
                ThrowFileError(VELM_HERE, __func__, m_name, "element '" + e.name + "' has no properties");
        m_header.bodyOffset = pos;
        m_header.bodyLine = lineNo + 1;
    }

    void FindVertexLayout()
    {
        m_vertexElement = -1;
        for (size_t i = 0; i < m_header.elements.size(); ++i)
            if (m_header.elements[i].name == "vertex")
                m_vertexElement = static_cast<int>(i);
            else if (m_header.elements[i].name == "range_grid")
                m_gridElement = static_cast<int>(i);
        if (m_vertexElement < 0)
            ThrowFileError(VELM_HERE, __func__, m_name, "the header declares no 'vertex' element");
        const SElement& v = m_header.elements[m_vertexElement];
        int* const slots[] = {&m_layout.x, &m_layout.y, &m_layout.z, &m_layout.nx, &m_layout.ny, &m_layout.nz};
        const char* const names[] = {"x", "y", "z", "nx", "ny", "nz"};
        for (size_t i = 0; i < v.properties.size(); ++i)
        {
            const SProperty& p = v.properties[i];
            for (int k = 0; k < 6; ++k)
                if (p.name == names[k])
                {
                    if (p.bList)
                        ThrowFileError(VELM_HERE, __func__, m_name,
                                       "vertex property '" + p.name + "' is a list, not a number");
                    *slots[k] = static_cast<int>(i);
                }
        }
        for (const char* name : {"confidence", "quality", "intensity"})
        {
            for (size_t i = 0; i < v.properties.size() && m_layout.confidence < 0; ++i)
                if (v.properties[i].name == name && !v.properties[i].bList)
                    m_layout.confidence = static_cast<int>(i);
        }
        for (int k = 0; k < 3; ++k)
            if (*slots[k] < 0)
                ThrowFileError(VELM_HERE, __func__, m_name,
                               std::string("the vertex element has no '") + names[k] + "' property");
        const int normals = (m_layout.nx >= 0) + (m_layout.ny >= 0) + (m_layout.nz >= 0);
        if (normals != 0 && normals != 3)
            ThrowFileError(VELM_HERE, __func__, m_name,
                           "the vertex element has only some of the normal properties nx, ny, nz");
        if (v.count == 0)
            ThrowFileError(VELM_HERE, __func__, m_name, "the file holds no points");
        if (m_gridElement >= 0)
        {
            const SElement& g = m_header.elements[m_gridElement];
            int lists = 0;
            for (const SProperty& p : g.properties)
                lists += p.bList ? 1 : 0;
            if (g.properties.size() != 1 || lists != 1 || !IsInteger(g.properties[0].type))
                ThrowFileError(VELM_HERE, __func__, m_name,
                               "element 'range_grid' must hold exactly one list of integer vertex indices");
            // Without the range image's size the cells cannot be placed; the points are still usable.
            if (!m_header.gridRows || !m_header.gridCols)
                m_gridElement = -1;
            else if (*m_header.gridRows > 0xFFFFFFFFu || *m_header.gridCols > 0xFFFFFFFFu ||
                     *m_header.gridRows * *m_header.gridCols != g.count)
                ThrowFileError(VELM_HERE, __func__, m_name,
                               "element 'range_grid' has " + std::to_string(g.count) +
                                   " cells, but num_rows x num_cols is " + std::to_string(*m_header.gridRows) + " x " +
                                   std::to_string(*m_header.gridCols));
        }
    }

    // A value of vertex property `prop` of vertex `index` has been read.
    void StoreVertexValue(int prop, size_t index, double value, bool& bad)
    {
        // A finite double beyond the float range has no float value: it counts as non-finite.
        const bool representable = std::isfinite(value) && std::fabs(value) <= std::numeric_limits<float>::max();
        const float f = representable ? static_cast<float>(value) : std::numeric_limits<float>::infinity();
        SPointCloud& c = m_cloud;
        if (prop == m_layout.x)
            c.vecPositions[index].x = f;
        else if (prop == m_layout.y)
            c.vecPositions[index].y = f;
        else if (prop == m_layout.z)
            c.vecPositions[index].z = f;
        else if (prop == m_layout.nx)
            c.vecNormals[index].x = f;
        else if (prop == m_layout.ny)
            c.vecNormals[index].y = f;
        else if (prop == m_layout.nz)
            c.vecNormals[index].z = f;
        else if (prop == m_layout.confidence)
            c.vecConfidence[index] = f;
        else
            return;
        bad = !std::isfinite(f);
    }

    void PrepareStorage(uint64_t maxPlausible)
    {
        const SElement& v = m_header.elements[m_vertexElement];
        // The counts come from the file: never allocate more than the data can hold.
        if (v.count > maxPlausible)
            m_countTooLarge = true;
        const size_t n = static_cast<size_t>(std::min<uint64_t>(v.count, maxPlausible));
        m_cloud.vecPositions.resize(n);
        if (m_layout.nx >= 0)
            m_cloud.vecNormals.resize(n);
        if (m_layout.confidence >= 0)
            m_cloud.vecConfidence.resize(n);
        if (m_gridElement >= 0)
        {
            const uint64_t cells = m_header.elements[m_gridElement].count;
            if (cells > maxPlausible)
                m_countTooLarge = true;
            m_cloud.vecGrid.assign(static_cast<size_t>(std::min<uint64_t>(cells, maxPlausible)), -1);
        }
    }

    void StoreGridCell(size_t cell, uint64_t itemCount, double firstItem, uint64_t where, bool ascii)
    {
        if (itemCount == 0)
            return;
        const uint64_t vertices = m_header.elements[m_vertexElement].count;
        std::string fault;
        if (itemCount > 1)
            fault = "range_grid cell " + std::to_string(cell) + " holds " + std::to_string(itemCount) +
                    " indices, at most one is allowed";
        else if (!(firstItem >= 0.0) || firstItem >= static_cast<double>(vertices))
            fault = "range_grid cell " + std::to_string(cell) + " refers to vertex " +
                    std::to_string(static_cast<long long>(firstItem)) + ", outside 0.." + std::to_string(vertices - 1);
        if (!fault.empty())
        {
            if (ascii)
                FailLine(where, fault);
            FailOffset(where, fault);
        }
        m_cloud.vecGrid[cell] = static_cast<int32_t>(firstItem);
    }

    // ---- ascii body ----

    void ReadAsciiBody()
    {
        // Every value takes at least two bytes (a digit and a separator).
        PrepareStorage(m_size / 2 + 1);
        size_t pos = m_header.bodyOffset;
        uint64_t line = m_header.bodyLine;

        auto skipBlank = [&](bool crossLines) {
            while (pos < m_size)
            {
                const char c = static_cast<char>(m_data[pos]);
                if (c == ' ' || c == '\t' || c == '\r')
                    ++pos;
                else if (c == '\n' && crossLines)
                {
                    ++pos;
                    ++line;
                }
                else
                    break;
            }
        };
        // Reads one value of the current record; records stay on one line.
        auto readToken = [&](const SElement& e, uint64_t record, EType type, double& value) {
            skipBlank(false);
            if (pos >= m_size || m_data[pos] == '\n')
                FailLine(line, "too few values for record " + std::to_string(record) + " of element '" + e.name + "'");
            const char* start = reinterpret_cast<const char*>(m_data + pos);
            size_t len = 0;
            while (pos + len < m_size && !std::strchr(" \t\r\n", static_cast<char>(m_data[pos + len])))
                ++len;
            const char* end = start + len;
            pos += len;
            // from_chars takes no leading '+', which some writers emit.
            const char* digits = (len > 1 && start[0] == '+' && start[1] != '-' && start[1] != '+') ? start + 1 : start;
            if (IsInteger(type))
            {
                int64_t v = 0;
                const auto r = std::from_chars(digits, end, v);
                if (r.ec != std::errc() || r.ptr != end)
                    FailLine(line, "'" + std::string(start, len) + "' is not an integer (element '" + e.name + "')");
                value = static_cast<double>(v);
                if (!FitsInteger(type, v))
                    FailLine(line, "'" + std::string(start, len) + "' is out of range for its type (element '" +
                                       e.name + "')");
            }
            else
            {
                const auto r = std::from_chars(digits, end, value);
                if (r.ec == std::errc::result_out_of_range && r.ptr == end)
                    value = std::strtod(std::string(digits, end).c_str(), nullptr); // overflow or underflow
                else if (r.ec != std::errc() || r.ptr != end)
                    FailLine(line, "'" + std::string(start, len) + "' is not a number (element '" + e.name + "')");
            }
        };

        for (size_t ei = 0; ei < m_header.elements.size(); ++ei)
        {
            const SElement& e = m_header.elements[ei];
            const bool isVertex = static_cast<int>(ei) == m_vertexElement;
            const bool isGrid = static_cast<int>(ei) == m_gridElement;
            for (uint64_t r = 0; r < e.count; ++r)
            {
                skipBlank(true);
                if (pos >= m_size)
                    FailLine(line, "the file ends after " + std::to_string(r) + " of " + std::to_string(e.count) +
                                       " records of element '" + e.name + "'");
                if ((isVertex || isGrid) && m_countTooLarge)
                    FailLine(line, "element '" + e.name + "' declares more records than the file can hold");
                const uint64_t recordLine = line;
                for (size_t pi = 0; pi < e.properties.size(); ++pi)
                {
                    const SProperty& p = e.properties[pi];
                    double value = 0.0;
                    if (p.bList)
                    {
                        double countValue = 0.0;
                        readToken(e, r, p.countType, countValue);
                        if (countValue < 0.0)
                            FailLine(line, "negative list length in element '" + e.name + "'");
                        const uint64_t n = static_cast<uint64_t>(countValue);
                        double first = -1.0;
                        for (uint64_t k = 0; k < n; ++k)
                        {
                            readToken(e, r, p.type, value);
                            if (k == 0)
                                first = value;
                        }
                        if (isGrid)
                            StoreGridCell(static_cast<size_t>(r), n, first, recordLine, true);
                    }
                    else
                    {
                        readToken(e, r, p.type, value);
                        if (isVertex)
                        {
                            bool bad = false;
                            StoreVertexValue(static_cast<int>(pi), static_cast<size_t>(r), value, bad);
                            if (bad)
                                FailLine(line, "vertex " + std::to_string(r) + " has a non-finite " + p.name);
                        }
                    }
                }
                skipBlank(false);
                if (pos < m_size && m_data[pos] != '\n')
                    FailLine(line, "more values than element '" + e.name + "' has properties");
            }
        }
        skipBlank(true);
        if (pos < m_size)
            FailLine(line, "unexpected data after the last element");
    }

    static bool FitsInteger(EType t, int64_t v)
    {
        switch (t)
        {
        case EType::Int8: return v >= -128 && v <= 127;
        case EType::UInt8: return v >= 0 && v <= 255;
        case EType::Int16: return v >= -32768 && v <= 32767;
        case EType::UInt16: return v >= 0 && v <= 65535;
        case EType::Int32: return v >= std::numeric_limits<int32_t>::min() && v <= std::numeric_limits<int32_t>::max();
        case EType::UInt32: return v >= 0 && v <= 0xFFFFFFFFll;
        default: return true;
        }
    }

    // ---- binary body ----

    double ReadBinary(EType t, size_t pos) const
    {
        uint8_t b[8];
        const size_t n = SizeOf(t);
        std::memcpy(b, m_data + pos, n);
        if (m_swap)
            for (size_t i = 0; i < n / 2; ++i)
                std::swap(b[i], b[n - 1 - i]);
        switch (t)
        {
        case EType::Int8:
        {
            int8_t v;
            std::memcpy(&v, b, 1);
            return v;
        }
        case EType::UInt8: return b[0];
        case EType::Int16:
        {
            int16_t v;
            std::memcpy(&v, b, 2);
            return v;
        }
        case EType::UInt16:
        {
            uint16_t v;
            std::memcpy(&v, b, 2);
            return v;
        }
        case EType::Int32:
        {
            int32_t v;
            std::memcpy(&v, b, 4);
            return v;
        }
        case EType::UInt32:
        {
            uint32_t v;
            std::memcpy(&v, b, 4);
            return v;
        }
        case EType::Float32:
        {
            float v;
            std::memcpy(&v, b, 4);
            return v;
        }
        case EType::Float64:
        {
            double v;
            std::memcpy(&v, b, 8);
            return v;
        }
        }
        return 0.0;
    }

    static bool AllFloat32(const SElement& e)
    {
        for (const SProperty& p : e.properties)
            if (p.bList || p.type != EType::Float32)
                return false;
        return !e.properties.empty();
    }

    void ReadBinaryBody()
    {
        const uint16_t probe = 1;
        uint8_t first = 0;
        std::memcpy(&first, &probe, 1);
        const bool hostLittle = first == 1;
        m_swap = hostLittle != (m_header.format == EFormat::BinaryLittle);

        size_t pos = m_header.bodyOffset;
        // Every record takes at least one byte.
        PrepareStorage(m_size - pos + 1);

        for (size_t ei = 0; ei < m_header.elements.size(); ++ei)
        {
            const SElement& e = m_header.elements[ei];
            const bool isVertex = static_cast<int>(ei) == m_vertexElement;
            const bool isGrid = static_cast<int>(ei) == m_gridElement;
            auto need = [&](size_t bytes, uint64_t r) {
                if (bytes > m_size - pos)
                    FailOffset(pos, "the file ends inside record " + std::to_string(r) + " of " +
                                        std::to_string(e.count) + " of element '" + e.name + "'");
            };
            if (isGrid && !m_countTooLarge && e.properties[0].countType == EType::UInt8 &&
                (e.properties[0].type == EType::Int32 || e.properties[0].type == EType::UInt32))
            {
                // The usual range image, a byte count and 32-bit indices a cell, read without the
                // general reader's loop over properties (the same checks and messages).
                const EType item = e.properties[0].type;
                for (uint64_t r = 0; r < e.count; ++r)
                {
                    const size_t recordStart = pos;
                    need(1, r);
                    const uint64_t n = m_data[pos++];
                    if (n == 0)
                        continue;
                    if (n > (m_size - pos) / 4)
                        need(m_size, r);
                    const double firstItem = ReadBinary(item, pos);
                    pos += static_cast<size_t>(n) * 4;
                    StoreGridCell(static_cast<size_t>(r), n, firstItem, recordStart, false);
                }
                continue;
            }
            if (isVertex && !m_countTooLarge && !m_swap && AllFloat32(e))
            {
                // The usual points, float after float: a record that fits is checked once, and its
                // values stored without the general reader's dispatch (the same checks and messages).
                const size_t record = 4 * e.properties.size();
                for (uint64_t r = 0; r < e.count; ++r)
                {
                    const bool whole = record <= m_size - pos;
                    for (size_t pi = 0; pi < e.properties.size(); ++pi, pos += 4)
                    {
                        if (!whole)
                            need(4, r);
                        float value;
                        std::memcpy(&value, m_data + pos, 4);
                        bool bad = false;
                        StoreVertexValue(static_cast<int>(pi), static_cast<size_t>(r), value, bad);
                        if (bad)
                            FailOffset(pos,
                                       "vertex " + std::to_string(r) + " has a non-finite " + e.properties[pi].name);
                    }
                }
                continue;
            }
            for (uint64_t r = 0; r < e.count; ++r)
            {
                if ((isVertex || isGrid) && m_countTooLarge)
                    FailOffset(pos, "element '" + e.name + "' declares more records than the file can hold");
                const size_t recordStart = pos;
                for (size_t pi = 0; pi < e.properties.size(); ++pi)
                {
                    const SProperty& p = e.properties[pi];
                    if (p.bList)
                    {
                        need(SizeOf(p.countType), r);
                        const double countValue = ReadBinary(p.countType, pos);
                        if (countValue < 0.0)
                            FailOffset(pos, "negative list length in element '" + e.name + "'");
                        pos += SizeOf(p.countType);
                        const uint64_t n = static_cast<uint64_t>(countValue);
                        const size_t item = SizeOf(p.type);
                        if (n > (m_size - pos) / item)
                            need(m_size, r);
                        const double firstItem = n > 0 ? ReadBinary(p.type, pos) : -1.0;
                        pos += static_cast<size_t>(n) * item;
                        if (isGrid)
                            StoreGridCell(static_cast<size_t>(r), n, firstItem, recordStart, false);
                    }
                    else
                    {
                        need(SizeOf(p.type), r);
                        const double value = ReadBinary(p.type, pos);
                        if (isVertex)
                        {
                            bool bad = false;
                            StoreVertexValue(static_cast<int>(pi), static_cast<size_t>(r), value, bad);
                            if (bad)
                                FailOffset(pos, "vertex " + std::to_string(r) + " has a non-finite " + p.name);
                        }
                        pos += SizeOf(p.type);
                    }
                }
            }
        }
        if (pos != m_size)
            FailOffset(pos, std::to_string(m_size - pos) + " bytes of unexpected data after the last element");
    }

    void Finish()
    {
        // A range image is only useful when its cells tell which point lies beside which.
        if (m_gridElement >= 0)
        {
            m_cloud.uiGridRows = static_cast<uint32_t>(*m_header.gridRows);
            m_cloud.uiGridCols = static_cast<uint32_t>(*m_header.gridCols);
        }
    }

    const uint8_t* m_data;
    size_t m_size;
    std::string m_name;
    SHeader m_header;
    SVertexLayout m_layout;
    int m_vertexElement = -1;
    int m_gridElement = -1;
    bool m_countTooLarge = false;
    bool m_swap = false;
    SPointCloud m_cloud;
};
} // namespace

SPointCloud CPlyReader::Read(const std::string& fileName)
{
    const std::string content = ReadWholeFile(fileName);
    return Parse(reinterpret_cast<const uint8_t*>(content.data()), content.size(), fileName);
}

SPointCloud CPlyReader::Parse(const uint8_t* data, size_t size, const std::string& fileName)
{
    CParser parser(data, size, fileName);
    return parser.Run();
}
} // namespace IO
