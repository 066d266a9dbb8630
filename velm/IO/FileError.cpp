#include "velm/IO/FileError.h"

#include "velm/Frame/VelmException.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace IO
{
namespace
{
// File names are narrow text in the user's locale; a byte that does not convert shows as '?'
// rather than cutting the message short.
std::wstring Widen(const std::string& text)
{
    std::wstring out;
    std::mbstate_t state{};
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0)
    {
        wchar_t c = 0;
        const size_t n = std::mbrtowc(&c, p, left, &state);
        if (n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2))
        {
            out += L'?';
            state = std::mbstate_t{};
            ++p;
            --left;
            continue;
        }
        out += (n == 0) ? L'\0' : c;
        const size_t used = (n == 0) ? 1 : n;
        p += used;
        left -= used;
    }
    return out;
}
} // namespace

void ThrowFileError(const char* sourceFile, uint32_t sourceLine, const char* function, const std::string& fileName,
                    const std::string& what)
{
    const std::wstring message = Widen("file '" + fileName + "': " + what);
    ThrowFormattedException(sourceFile, sourceLine, function, L"%s", message.c_str());
}

void ThrowFileErrorAtLine(const char* sourceFile, uint32_t sourceLine, const char* function,
                          const std::string& fileName, uint64_t line, const std::string& what)
{
    ThrowFileError(sourceFile, sourceLine, function, fileName, "line " + std::to_string(line) + ": " + what);
}

void ThrowFileErrorAtOffset(const char* sourceFile, uint32_t sourceLine, const char* function,
                            const std::string& fileName, uint64_t offset, const std::string& what)
{
    ThrowFileError(sourceFile, sourceLine, function, fileName, "byte offset " + std::to_string(offset) + ": " + what);
}

std::string ReadWholeFile(const std::string& fileName)
{
    std::error_code ec;
    if (std::filesystem::is_directory(fileName, ec))
        ThrowFileError("velm/IO/FileError.cpp", __LINE__, __func__, fileName, "is a directory, not a file");
    std::ifstream in(fileName, std::ios::binary);
    if (!in)
        ThrowFileError("velm/IO/FileError.cpp", __LINE__, __func__, fileName,
                       std::string("cannot open for reading (") + std::strerror(errno) + ")");
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad())
        ThrowFileError("velm/IO/FileError.cpp", __LINE__, __func__, fileName, "read error");
    return content.str();
}
} // namespace IO
