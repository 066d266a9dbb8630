// The scan set file: what is read, what is refused, and what is written back.
#include "velm/Frame/CbException.h"
#include "velm/Pipeline/Motion.h"
#include "velm/Pipeline/ScanSetConf.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace
{
const fs::path kDir = fs::temp_directory_path() / ("velm_scanset_test_" + std::to_string(::getpid()));

std::string Write(const std::string& name, const std::string& text)
{
    fs::create_directories(kDir / "out");
    std::ofstream(kDir / name, std::ios::binary) << text;
    return (kDir / name).string();
}

// The message ReadScanSet throws for the text, or "" when it reads it.
std::string Fault(const std::string& text)
{
    const std::string path = Write("fault.conf", text);
    try
    {
        Pipeline::ReadScanSet(path);
    }
    catch (const std::runtime_error& e)
    {
        return std::string(e.what()).substr(path.size() + 7);
    }
    return "";
}
} // namespace

TEST(ScanSetFile, ReadsPosesWritesThemBackInTheSameLinesAndRefusesFaultsNamingTheLine)
{
    const std::string text = "# a set\r\n"
                             "camera -0.0172 -0.0936 -0.734  -0.0461723 0.970603 -0.235889 0.0124573\r\n"
                             "\r\n"
                             "bmesh a.ply 0 0 0 0 0 0 1\r\n"
                             "bmesh sub/b.ply -0.0520211 -0.000383981 -0.0109223 "
                             "0.00548449 -0.294635 -0.0038555 0.955586\r\n"
                             "  bmesh   c.ply 1e-3 2 3   0 0 0 -2\r\n";
    const Pipeline::SScanSet set = Pipeline::ReadScanSet(Write("set.conf", text));
    ASSERT_EQ(set.vecLines.size(), 6u);
    const auto scans = set.Scans();
    ASSERT_EQ(scans.size(), 3u);
    EXPECT_EQ(scans[1]->strFile, "sub/b.ply");
    EXPECT_EQ(set.ScanPath(*scans[1]), (kDir / "sub/b.ply").string());
    EXPECT_EQ(set.vecLines[1].strText, "camera -0.0172 -0.0936 -0.734  -0.0461723 0.970603 -0.235889 0.0124573");

    // The pose takes a point p to transpose(R(q)) p + t: a quarter turn about z maps x onto -y.
    Pipeline::SConfLine quarter;
    quarter.adQuaternion[2] = std::sqrt(0.5), quarter.adQuaternion[3] = std::sqrt(0.5);
    quarter.adTranslation[0] = 1.0;
    const CbVector3d moved = Pipeline::PoseOfLine(quarter, 1000.0).TransformPoint(CbVector3d(1, 0, 0));
    EXPECT_LT((moved - CbVector3d(1000.0, -1.0, 0.0)).Length(), 1e-12) << moved.x << " " << moved.y << " " << moved.z;
    // A quaternion of any length and sign gives the same rotation; translations scale to millimetres.
    const CbMatrix4Rd c = Pipeline::PoseOfLine(*scans[2], 1000.0);
    for (int i = 0; i < 16; ++i)
        EXPECT_NEAR(c.e[i], CbMatrix4Rd::Translation(1.0, 2000.0, 3000.0).e[i], 1e-12) << i;

    // Written back: other lines and a scan without a new pose verbatim, the others' poses in the file's
    // units with the quaternion normalised and qw >= 0, read back to the digits written.
    const CbMatrix4Rd turnedB = Pipeline::PoseOfLine(*scans[1], 1000.0) *
                                Pipeline::TurnAbout(CbVector3d(10, 20, 30), CbVector3d(1, -2, 0.5), 200.0);
    Pipeline::WriteScanSet(set, {std::nullopt, turnedB, c}, 1000.0, (kDir / "aligned.conf").string());
    const Pipeline::SScanSet again = Pipeline::ReadScanSet((kDir / "aligned.conf").string());
    ASSERT_EQ(again.vecLines.size(), 6u);
    for (size_t i : {0u, 1u, 2u, 3u})
        EXPECT_EQ(again.vecLines[i].strText, set.vecLines[i].strText) << i;
    EXPECT_EQ(again.vecLines[5].strText, "bmesh c.ply 0.001 2 3 0 0 0 1");
    const CbMatrix4Rd b = Pipeline::PoseOfLine(*again.Scans()[1], 1000.0);
    for (int i = 0; i < 16; ++i)
        EXPECT_NEAR(b.e[i], turnedB.e[i], 1e-5) << i;
    const double* q = again.Scans()[1]->adQuaternion;
    EXPECT_TRUE(q[3] >= 0.0 && std::fabs(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3] - 1.0) <= 1e-8);

    // Written into another folder, relative names still find the scans; unmoved lines keep their numbers.
    const std::string moved_text =
        Pipeline::ScanSetText(set, {std::nullopt, std::nullopt, std::nullopt}, 1000.0, (kDir / "out/a.conf").string());
    for (const char* line : {"bmesh ../a.ply 0 0 0 0 0 0 1\n", "bmesh ../sub/b.ply -0.0520211 ",
                             "  bmesh   ../c.ply 1e-3 2 3   0 0 0 -2\n"})
        EXPECT_NE(moved_text.find(line), std::string::npos) << moved_text;

    // What it cannot read it refuses, naming the line.
    const std::pair<const char*, const char*> faults[] = {
        {"bmesh a.ply 0 0 0 0 0 0 1\nmesh b.ply 0 0 0 0 0 0 1\n",
         ", line 2: unknown keyword 'mesh' (a line is 'bmesh ...', 'camera ...', blank or a # comment)"},
        {"bmesh a.ply 0 0 0 0 0 1\n",
         ", line 1: a bmesh line is 'bmesh FILE tx ty tz qx qy qz qw', this one has 7 fields after bmesh"},
        {"\nbmesh a.ply 0 0 x 0 0 0 1\n", ", line 2: 'x' is not a finite number"},
        {"bmesh a.ply 0 0 nan 0 0 0 1\n", ", line 1: 'nan' is not a finite number"},
        {"bmesh a.ply 0 0 0 0,5 0 0 1\n", ", line 1: '0,5' is not a finite number"},
        {"bmesh a.ply 0 0 0 0 0 0 0\n", ", line 1: the quaternion of 'a.ply' has length 0"},
        {"bmesh a.ply 0 0 0 0 0 0 1\n# again\nbmesh a.ply 1 0 0 0 0 0 1\n", ", line 3: 'a.ply' is named a second time"},
        {"camera 0 0 0 0 0 0 1\n# nothing else\n", ": no scan (a 'bmesh FILE tx ty tz qx qy qz qw' line)"},
        // The same file under two spellings is two names: duplicates are judged as written.
        {"bmesh a.ply 0 0 0 0 0 0 1\nbmesh ./a.ply 0 0 0 0 0 0 1\n", ""},
    };
    for (const auto& [text, message] : faults)
        EXPECT_EQ(Fault(text), message) << text;
    EXPECT_THROW(Pipeline::ReadScanSet((kDir / "none.conf").string()), CbException);
    fs::remove_all(kDir);
}
