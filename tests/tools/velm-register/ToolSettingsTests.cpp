#include "RegisterTool.h"

#include "RealScans.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

TEST(ToolTransformation, ReadsTheUsualLayoutAndRejectsNonRigidMatrices)
{
    // A quarter turn about z followed by a translation (1, 2, 3): column-vector form, row by row.
    const std::string text = "0 -1 0 1\n1 0 0 2\n0 0 1 3\n0 0 0 1\n";
    const CbMatrix4Rd m = VelmTool::ParseTransformation(text);
    // The library applies it to row vectors: (1, 0, 0) goes to (0, 1, 0) + (1, 2, 3).
    EXPECT_EQ(m.TransformPoint(CbVector3d(1.0, 0.0, 0.0)), CbVector3d(1.0, 3.0, 3.0));
    EXPECT_EQ(m, CbMatrix4Rd::FromUsual(VelmTool::ParseNumbers(text, "t").data()));

    // Nested JSON arrays, commas and comments read the same.
    EXPECT_EQ(VelmTool::ParseTransformation("[[0, -1, 0, 1], [1, 0, 0, 2], # rows 1 and 2\n[0,0,1,3],[0,0,0,1]]"), m);

    const std::pair<const char*, const char*> faults[] = {
        {"1 0 0 0 0 1 0 0 0 0 1 0 0 0 0", "expected 16 numbers (a 4x4 matrix row by row), got 15"},
        {"1 0 0 0 0 1 0 0 0 0 1 0 5 6 7 1", "the last row must be 0 0 0 1 (translation belongs in the last column)"},
        {"2 0 0 0 0 2 0 0 0 0 2 0 0 0 0 1", "the upper left 3x3 part is not a rotation"},
        {"-1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 1", "the upper left 3x3 part is not a rotation"},
        {"1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 one", "'one' is not a finite number"},
        {"1 0 0 nan 0 1 0 0 0 0 1 0 0 0 0 1", "'nan' is not a finite number"},
    };
    for (const auto& [input, message] : faults)
        try // the layout faults are invalid_argument, the number faults runtime_error
        {
            VelmTool::ParseTransformation(input);
            ADD_FAILURE() << input;
        }
        catch (const std::exception& e)
        {
            EXPECT_EQ(e.what(), std::string("--init: ") + message) << input;
        }
}

TEST(ToolTransformation, TheDemoStartAndReferenceAgreeWithTheScanSetFile)
{
    // scripts/demo.sh reads both from data/; they must stay what their comments say they are.
    const auto read = [](const std::string& name) {
        // metres in the files
        return Pipeline::ScaleTranslation(VelmTool::ParseTransformation(FileText(RealScans::kData + name)), 1000.0);
    };
    const CbMatrix4Rd published = RealScans::Published("bun.conf", "bun000", "bun045");
    const CbMatrix4Rd reference = read("bun045-published.txt");
    for (int i = 0; i < 16; ++i) // nine decimals of metres, of a quaternion not quite of length 1
        EXPECT_NEAR(reference.e[i], published.e[i], 1e-6) << i;
    const CbMatrix4Rd start = read("bun045-start.txt");
    EXPECT_NEAR(Pipeline::AngleBetween(published, start), 8.0, 1e-3);
    // Turned about a point of the bunny's middle, (-0.02, 0.1, 0) m in FIX's frame, and shifted by 6 mm.
    const CbVector3d middle = published.Inverted().TransformPoint(CbVector3d(-20.0, 100.0, 0.0));
    EXPECT_NEAR((start.TransformPoint(middle) - published.TransformPoint(middle)).Length(), 6.0, 1e-5);
}
