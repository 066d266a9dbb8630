#include "RegisterTool.h"

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

double UsualElement(const CbMatrix4Rd& m, int row, int col)
{
    return m.e[4 * col + row];
}

CbMatrix4Rd ParseTransformation(const std::string& text)
{
    const std::vector<double> v = ParseNumbers(text, "--init");
    if (v.size() != 16)
        throw std::runtime_error("--init: expected 16 numbers (a 4x4 matrix row by row), got " + std::to_string(v.size()));
    if (v[12] != 0.0 || v[13] != 0.0 || v[14] != 0.0 || v[15] != 1.0)
        throw std::runtime_error("--init: the last row must be 0 0 0 1 (translation belongs in the last column)");
    CbMatrix4Rd m;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            m.e[4 * c + r] = v[static_cast<size_t>(4 * r + c)];
    // A rigid motion: the columns of the 3x3 part are orthonormal and keep their handedness.
    double worst = 0.0;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
        {
            double dot = 0.0;
            for (int k = 0; k < 3; ++k)
                dot += v[static_cast<size_t>(4 * k + i)] * v[static_cast<size_t>(4 * k + j)];
            worst = std::max(worst, std::fabs(dot - (i == j ? 1.0 : 0.0)));
        }
    const double det = v[0] * (v[5] * v[10] - v[6] * v[9]) - v[1] * (v[4] * v[10] - v[6] * v[8]) +
                       v[2] * (v[4] * v[9] - v[5] * v[8]);
    if (worst > 1e-4 || det < 0.0)
        throw std::runtime_error("--init: the upper left 3x3 part is not a rotation");
    return m;
}

} // namespace VelmTool
