#include "RegisterTool.h"

#include "velm/Pipeline/Motion.h"

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

namespace VelmTool
{
// Numbers separated by blanks, commas, semicolons, line ends or brackets; '#' comments out the rest of
// a line.
std::vector<double> ParseNumbers(const std::string& text, const std::string& what)
{
    std::vector<double> numbers;
    std::string token;
    auto flush = [&] {
        if (token.empty())
            return;
        size_t used = 0;
        double v = 0.0;
        try
        {
            v = std::stod(token, &used);
        }
        catch (const std::exception&)
        {
            used = 0;
        }
        if (used != token.size() || !std::isfinite(v))
            throw std::runtime_error(what + ": '" + token + "' is not a finite number");
        numbers.push_back(v);
        token.clear();
    };
    bool comment = false;
    for (const char c : text)
    {
        if (c == '\n')
            comment = false;
        if (comment)
            continue;
        if (c == '#')
        {
            flush();
            comment = true;
        }
        else if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == ',' || c == ';' || c == '[' || c == ']')
            flush();
        else
            token += c;
    }
    flush();
    return numbers;
}

CbMatrix4Rd ParseTransformation(const std::string& text)
{
    const std::vector<double> v = ParseNumbers(text, "--init");
    if (v.size() != 16)
        throw std::runtime_error("--init: expected 16 numbers (a 4x4 matrix row by row), got " +
                                 std::to_string(v.size()));
    return Pipeline::RigidFromUsualRows(v.data(), "--init");
}

} // namespace VelmTool
