#include "velm/Pipeline/ScanSetConf.h"

#include "velm/IO/FileError.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <set>
#include <sstream>
#include <stdexcept>

namespace Pipeline
{
namespace
{
namespace fs = std::filesystem;

std::vector<std::string> Words(const std::string& line)
{
    std::vector<std::string> words;
    std::istringstream in(line);
    for (std::string w; in >> w;)
        words.push_back(w);
    return words;
}

bool ParseNumber(const std::string& word, double& value)
{
    // from_chars reads the C locale's numbers whatever locale the caller set.
    const char* end = word.data() + word.size();
    const auto [ptr, ec] = std::from_chars(word.data(), end, value);
    return ec == std::errc() && ptr == end && std::isfinite(value);
}

// The folder a file lies in, as the file system resolves it (symbolic links followed where they exist).
fs::path Folder(const std::string& file)
{
    return fs::weakly_canonical(fs::absolute(fs::path(file)).parent_path());
}

// FILE as the new set file must name it so that it still finds the scan.
std::string FileFor(const SScanSet& set, const SConfLine& scan, const std::string& path)
{
    const fs::path file(scan.strFile);
    if (file.is_absolute() || set.strPath.empty())
        return scan.strFile;
    const fs::path from = Folder(set.strPath), to = Folder(path);
    if (from == to)
        return scan.strFile;
    return fs::weakly_canonical(from / file).lexically_relative(to).generic_string();
}

// The line with its FILE replaced, everything else as written.
std::string WithFile(const SConfLine& scan, const std::string& file)
{
    const size_t keywordEnd = scan.strText.find_first_not_of(" \t", scan.strText.find_first_not_of(" \t") + 5);
    return scan.strText.substr(0, keywordEnd) + file + scan.strText.substr(keywordEnd + scan.strFile.size());
}

// The unit quaternion (x, y, z, w) of the rotation whose matrix is r (rows), w >= 0.
void Quaternion(const double r[3][3], double q[4])
{
    const double trace = r[0][0] + r[1][1] + r[2][2];
    // Shepperd's choice: divide by the largest of the four candidates, never by a small number.
    if (trace > 0.0)
    {
        const double s = 2.0 * std::sqrt(1.0 + trace);
        q[3] = 0.25 * s;
        q[0] = (r[2][1] - r[1][2]) / s;
        q[1] = (r[0][2] - r[2][0]) / s;
        q[2] = (r[1][0] - r[0][1]) / s;
    }
    else if (r[0][0] > r[1][1] && r[0][0] > r[2][2])
    {
        const double s = 2.0 * std::sqrt(1.0 + r[0][0] - r[1][1] - r[2][2]);
        q[3] = (r[2][1] - r[1][2]) / s;
        q[0] = 0.25 * s;
        q[1] = (r[0][1] + r[1][0]) / s;
        q[2] = (r[0][2] + r[2][0]) / s;
    }
    else if (r[1][1] > r[2][2])
    {
        const double s = 2.0 * std::sqrt(1.0 + r[1][1] - r[0][0] - r[2][2]);
        q[3] = (r[0][2] - r[2][0]) / s;
        q[0] = (r[0][1] + r[1][0]) / s;
        q[1] = 0.25 * s;
        q[2] = (r[1][2] + r[2][1]) / s;
    }
    else
    {
        const double s = 2.0 * std::sqrt(1.0 + r[2][2] - r[0][0] - r[1][1]);
        q[3] = (r[1][0] - r[0][1]) / s;
        q[0] = (r[0][2] + r[2][0]) / s;
        q[1] = (r[1][2] + r[2][1]) / s;
        q[2] = 0.25 * s;
    }
    const double length = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
    const double sign = q[3] < 0.0 ? -1.0 : 1.0;
    for (int i = 0; i < 4; ++i)
        q[i] *= sign / length;
}
} // namespace

std::vector<const SConfLine*> SScanSet::Scans() const
{
    std::vector<const SConfLine*> scans;
    for (const SConfLine& line : vecLines)
        if (line.bScan)
            scans.push_back(&line);
    return scans;
}

std::string SScanSet::ScanPath(const SConfLine& scan) const
{
    const fs::path file(scan.strFile);
    if (file.is_absolute())
        return scan.strFile;
    return (fs::path(strPath).parent_path() / file).string();
}

SScanSet ReadScanSet(const std::string& path)
{
    SScanSet set;
    set.strPath = path;
    const std::string text = IO::ReadWholeFile(path);
    std::set<std::string> files;
    size_t number = 0;
    for (size_t begin = 0; begin < text.size(); ++number)
    {
        size_t end = text.find('\n', begin);
        if (end == std::string::npos)
            end = text.size();
        SConfLine line;
        line.strText = text.substr(begin, end - begin);
        if (!line.strText.empty() && line.strText.back() == '\r')
            line.strText.pop_back();
        begin = end + 1;

        const auto fault = [&](const std::string& what) {
            return std::runtime_error("file '" + path + "', line " + std::to_string(number + 1) + ": " + what);
        };
        const std::vector<std::string> words = Words(line.strText);
        if (!words.empty() && words[0] == "bmesh")
        {
            if (words.size() != 9)
                throw fault("a bmesh line is 'bmesh FILE tx ty tz qx qy qz qw', this one has " +
                            std::to_string(words.size() - 1) + " fields after bmesh");
            line.bScan = true;
            line.strFile = words[1];
            double* values[7] = {&line.adTranslation[0], &line.adTranslation[1], &line.adTranslation[2],
                                 &line.adQuaternion[0],  &line.adQuaternion[1],  &line.adQuaternion[2],
                                 &line.adQuaternion[3]};
            for (int i = 0; i < 7; ++i)
                if (!ParseNumber(words[2 + i], *values[i]))
                    throw fault("'" + words[2 + i] + "' is not a finite number");
            const double* q = line.adQuaternion;
            if (!(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3] > 1e-12))
                throw fault("the quaternion of '" + line.strFile + "' has length 0");
            if (!files.insert(line.strFile).second)
                throw fault("'" + line.strFile + "' is named a second time");
        }
        else if (!words.empty() && words[0] != "camera" && words[0][0] != '#')
            throw fault("unknown keyword '" + words[0] +
                        "' (a line is 'bmesh ...', 'camera ...', blank or a # comment)");
        set.vecLines.push_back(std::move(line));
    }
    if (files.empty())
        throw std::runtime_error("file '" + path + "': no scan (a 'bmesh FILE tx ty tz qx qy qz qw' line)");
    return set;
}

CbMatrix4Rd PoseOfLine(const SConfLine& scan, double scale)
{
    double x = scan.adQuaternion[0], y = scan.adQuaternion[1], z = scan.adQuaternion[2], w = scan.adQuaternion[3];
    const double l = std::sqrt(x * x + y * y + z * z + w * w);
    x /= l, y /= l, z /= l, w /= l;
    const double r[3][3] = {{1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)},
                            {2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)},
                            {2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)}};
    // p -> transpose(R(q)) p is p -> p * R(q) for the library's row vectors: its rows are R(q)'s.
    CbMatrix4Rd m;
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 3; ++col)
            m.e[4 * row + col] = r[row][col];
    m.e[12] = scale * scan.adTranslation[0];
    m.e[13] = scale * scan.adTranslation[1];
    m.e[14] = scale * scan.adTranslation[2];
    return m;
}

std::string ScanSetText(const SScanSet& set, const std::vector<std::optional<CbMatrix4Rd>>& poses, double scale,
                        const std::string& path)
{
    std::string text;
    size_t k = 0;
    for (const SConfLine& line : set.vecLines)
    {
        if (!line.bScan)
        {
            text += line.strText + "\n";
            continue;
        }
        const std::string file = FileFor(set, line, path);
        const std::optional<CbMatrix4Rd>& pose = k < poses.size() ? poses[k] : std::nullopt;
        ++k;
        if (!pose)
        {
            text += WithFile(line, file) + "\n";
            continue;
        }
        double r[3][3], q[4];
        for (int row = 0; row < 3; ++row)
            for (int col = 0; col < 3; ++col)
                r[row][col] = pose->e[4 * row + col];
        Quaternion(r, q);
        char numbers[256];
        std::snprintf(numbers, sizeof numbers, " %.9g %.9g %.9g %.9g %.9g %.9g %.9g", pose->e[12] / scale,
                      pose->e[13] / scale, pose->e[14] / scale, q[0], q[1], q[2], q[3]);
        text += "bmesh " + file + numbers + "\n";
    }
    return text;
}

void WriteScanSet(const SScanSet& set, const std::vector<std::optional<CbMatrix4Rd>>& poses, double scale,
                  const std::string& path)
{
    const std::string text = ScanSetText(set, poses, scale, path);
    IO::WriteWholeFile(path, text.data(), text.size());
}
} // namespace Pipeline
