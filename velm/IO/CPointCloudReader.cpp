#include "velm/IO/CPointCloudReader.h"

#include "velm/IO/CPlyReader.h"
#include "velm/IO/CXyzReader.h"
#include "velm/IO/FileError.h"

#include <cctype>

namespace IO
{
SPointCloud CPointCloudReader::Read(const std::string& fileName)
{
    const std::string content = ReadWholeFile(fileName);
    const auto* data = reinterpret_cast<const uint8_t*>(content.data());
    const bool plyMagic = content.compare(0, 4, "ply\n") == 0 || content.compare(0, 5, "ply\r\n") == 0;
    std::string extension;
    const size_t dot = fileName.find_last_of('.');
    if (dot != std::string::npos && fileName.find('/', dot) == std::string::npos)
        for (size_t i = dot; i < fileName.size(); ++i)
            extension += static_cast<char>(std::tolower(static_cast<unsigned char>(fileName[i])));
    if (plyMagic || extension == ".ply")
        return CPlyReader::Parse(data, content.size(), fileName);
    return CXyzReader::Parse(data, content.size(), fileName);
}
} // namespace IO
