// velm-convert as a user runs it: any point file in, binary little-endian PLY out, everything kept.
#include "velm/IO/CPlyReader.h"
#include "velm/IO/CPointCloudReader.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace
{
// Runs the program with `args`; returns its exit status, its output in `out` and its errors in `err`.
int Convert(const std::string& args, const fs::path& dir, std::string& out, std::string& err)
{
    const int status = std::system(
        (std::string(VELM_CONVERT_TOOL) + " " + args + " > " + (dir / "out").string() + " 2> " + (dir / "err").string())
            .c_str());
    out = FileText(dir / "out"), err = FileText(dir / "err");
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
} // namespace

TEST(Convert, KeepsPointsNormalsConfidencesAndTheRangeImageAndRefusesBadInput)
{
    const fs::path dir = fs::temp_directory_path() / ("velm_convert_test_" + std::to_string(::getpid()));
    fs::remove_all(dir), fs::create_directories(dir);
    std::string out, err;

    // A bundled scan (binary, with its range grid) comes back as it was.
    const std::string scan = std::string(VELM_SOURCE_DIR) + "/data/bun045.ply", copy = (dir / "copy.ply").string();
    ASSERT_EQ(Convert(scan + " " + copy, dir, out, err), 0) << err;
    const IO::SPointCloud a = IO::CPlyReader::Read(scan), b = IO::CPlyReader::Read(copy);
    EXPECT_EQ(out, copy + ": " + std::to_string(a.GetCount()) + " points, range image " + std::to_string(a.uiGridRows) +
                       " x " + std::to_string(a.uiGridCols) + "\n");
    EXPECT_TRUE(b.vecPositions == a.vecPositions && b.vecConfidence == a.vecConfidence && b.vecGrid == a.vecGrid);

    // XYZ text with normals becomes a PLY with the same floats.
    std::ofstream(dir / "in.xyz") << "# x y z nx ny nz\n1 2 3 0 0 1\n4.5 -5 6e-3 0 1 0\n";
    const std::string ply = (dir / "in.ply").string();
    ASSERT_EQ(Convert((dir / "in.xyz").string() + " " + ply, dir, out, err), 0) << err;
    EXPECT_EQ(out, ply + ": 2 points, normals\n");
    const IO::SPointCloud text = IO::CPointCloudReader::Read((dir / "in.xyz").string()), c = IO::CPlyReader::Read(ply);
    EXPECT_TRUE(c.vecPositions == text.vecPositions && c.vecNormals == text.vecNormals);
    EXPECT_EQ(FileText(ply).rfind("ply\nformat binary_little_endian 1.0\n", 0), 0u);

    // A missing input or a missing argument: exit 1 with one line, nothing written.
    const std::string absent = (dir / "absent.ply").string(), never = (dir / "never.ply").string();
    EXPECT_EQ(Convert(absent + " " + never, dir, out, err), 1);
    EXPECT_EQ(err, "velm-convert: file '" + absent + "': cannot open for reading (No such file or directory)\n");
    EXPECT_FALSE(fs::exists(never));
    EXPECT_EQ(Convert(absent, dir, out, err), 1);
    EXPECT_NE(err.find("OUT is required"), std::string::npos) << err;
    fs::remove_all(dir);
}
