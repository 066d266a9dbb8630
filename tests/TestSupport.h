#pragma once
// What the tests of every folder share: the exception a call throws, and a file's bytes.

#include "velm/Frame/VelmException.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

// The exception of type E that f throws; a call that throws nothing fails the test with a logic_error.
template <typename E = VelmException, typename F>
E Thrown(F&& f)
{
    try
    {
        f();
    }
    catch (const E& e)
    {
        return e;
    }
    throw std::logic_error("nothing thrown");
}

// The whole file, byte for byte ("" when it cannot be read).
inline std::string FileText(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
