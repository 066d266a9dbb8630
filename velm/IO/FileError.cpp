#include "velm/IO/FileError.h"

#include "velm/Frame/VelmException.h"

#include <cerrno>
#include <cstdio>
#include <climits>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

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
        ThrowFileError(VELM_HERE, __func__, fileName, "is a directory, not a file");
    std::ifstream in(fileName, std::ios::binary);
    if (!in)
        ThrowFileError(VELM_HERE, __func__, fileName,
                       std::string("cannot open for reading (") + std::strerror(errno) + ")");
    // Read in blocks straight into the string: a stream copy through a string buffer costs as much
    // as parsing a binary scan. The size is not asked first, so a pipe reads as a file does.
    std::string content;
    constexpr size_t kBlock = size_t(1) << 20;
    for (;;)
    {
        const size_t done = content.size();
        content.resize(done + kBlock);
        in.read(&content[done], static_cast<std::streamsize>(kBlock));
        content.resize(done + static_cast<size_t>(in.gcount()));
        if (!in)
            break;
    }
    if (in.bad())
        ThrowFileError(VELM_HERE, __func__, fileName, "read error");
    return content;
}
void WriteWholeFile(const std::string& fileName, const void* data, size_t size)
{
    // The temporary file lives beside the target so that the rename stays within one file system.
    std::vector<char> pattern(fileName.begin(), fileName.end());
    const char suffix[] = ".tmpXXXXXX";
    pattern.insert(pattern.end(), suffix, suffix + sizeof suffix);
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0)
        ThrowFileError(VELM_HERE, __func__, fileName,
                       std::string("cannot create a temporary file beside it (") + std::strerror(errno) + ")");
    const std::string temp(pattern.data());

    std::string fault;
    const auto* bytes = static_cast<const char*>(data);
    size_t done = 0;
    while (done < size && fault.empty())
    {
        const ssize_t w = ::write(fd, bytes + done, size - done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            fault = std::string("write failed (") + std::strerror(errno) + ")";
        else
            done += static_cast<size_t>(w);
    }
    // mkstemp makes the file private to its owner; what we write is an ordinary file.
    if (fault.empty() && ::fchmod(fd, 0644) != 0)
        fault = std::string("cannot set permissions (") + std::strerror(errno) + ")";
    if (fault.empty() && ::fsync(fd) != 0)
        fault = std::string("cannot flush to disk (") + std::strerror(errno) + ")";
    if (::close(fd) != 0 && fault.empty())
        fault = std::string("cannot close (") + std::strerror(errno) + ")";
    if (fault.empty() && std::rename(temp.c_str(), fileName.c_str()) != 0)
        fault = std::string("cannot rename the temporary file into place (") + std::strerror(errno) + ")";
    if (!fault.empty())
    {
        ::unlink(temp.c_str());
        ThrowFileError(VELM_HERE, __func__, fileName, fault);
    }
}
} // namespace IO
