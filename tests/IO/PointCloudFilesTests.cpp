#include "velm/IO/CPlyReader.h"
#include "velm/IO/CPlyWriter.h"
#include "velm/IO/CPointCloudReader.h"
#include "velm/IO/CXyzReader.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <stdexcept>

#include <unistd.h>

namespace fs = std::filesystem;

namespace
{
template <typename Reader = IO::CPlyReader>
IO::SPointCloud Parse(const std::string& bytes, const char* name = "t.ply")
{
    return Reader::Parse(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), name);
}

// The same three points as a PLY with a mix of property types and extra elements, in each encoding:
// a leading int property, double coordinates, a ushort quality, a face list and a range grid.
std::string MixedPly(const std::string& format)
{
    std::string out = "ply\r\nformat " + format +
                      " 1.0\r\ncomment mixed types\r\nobj_info num_cols 2\r\n"
                      "obj_info num_rows 2\r\nelement vertex 3\r\nproperty int id\r\nproperty double x\r\n"
                      "property double y\r\nproperty float z\r\nproperty float nx\r\nproperty float ny\r\n"
                      "property float nz\r\nproperty ushort quality\r\nelement face 1\r\n"
                      "property list uchar int vertex_indices\r\nelement range_grid 4\r\n"
                      "property list uchar int vertex_indices\r\nend_header\r\n";
    const bool ascii = format == "ascii", big = format == "binary_big_endian";
    std::ostringstream text; // records end in a blank before the line break
    text.precision(17);
    const auto put = [&](auto v) {
        char b[sizeof v];
        std::memcpy(b, &v, sizeof v);
        if (big)
            std::reverse(b, b + sizeof v);
        ascii ? void(text << +v << ' ') : void(out.append(b, sizeof v));
    };
    const double xyz[3][3] = {{0.5, -1.25, 2.0}, {1e-3, 3.0, -0.75}, {-2.5, 0.125, 1e3}};
    const float n[3][3] = {{0, 0, 1}, {0, 1, 0}, {0.6f, 0, 0.8f}};
    const uint16_t q[3] = {0, 7, 65535};
    for (int i = 0; i < 3; ++i, text << "\r\n")
        put(int32_t{10 + i}), put(xyz[i][0]), put(xyz[i][1]), put(static_cast<float>(xyz[i][2])), put(n[i][0]),
            put(n[i][1]), put(n[i][2]), put(q[i]);
    // The face, then the range grid's cells.
    for (const std::vector<int32_t>& list : {std::vector<int32_t>{0, 1, 2}, {2}, {}, {0}, {1}})
    {
        put(static_cast<uint8_t>(list.size()));
        std::for_each(list.begin(), list.end(), put);
        text << "\r\n";
    }
    return ascii ? out + text.str() : out;
}

const std::string kXyz = "property float x\nproperty float y\nproperty float z\n";
const std::string kAsciiHeader = "ply\nformat ascii 1.0\nelement vertex 2\n" + kXyz + "end_header\n";
const std::string kBinaryHeader = "ply\nformat binary_little_endian 1.0\nelement vertex 2\n" + kXyz + "end_header\n";
} // namespace

TEST(PlyReader, ReadsEveryEncodingAnyElementsAndTypesOptionalPartsAndTheBundledScans)
{
    for (const std::string format : {"ascii", "binary_little_endian", "binary_big_endian"})
    {
        SCOPED_TRACE(format);
        const IO::SPointCloud c = Parse(MixedPly(format));
        EXPECT_EQ(c.vecPositions,
                  (std::vector<CbVector3f>{{0.5f, -1.25f, 2.0f}, {1e-3f, 3.0f, -0.75f}, {-2.5f, 0.125f, 1e3f}}));
        EXPECT_EQ(c.vecNormals, (std::vector<CbVector3f>{{0, 0, 1}, {0, 1, 0}, {0.6f, 0, 0.8f}}));
        EXPECT_EQ(c.vecConfidence, (std::vector<float>{0.0f, 7.0f, 65535.0f}));
        EXPECT_EQ(std::tuple(c.uiGridRows, c.uiGridCols, c.vecGrid),
                  std::tuple(2u, 2u, std::vector<int32_t>{2, -1, 0, 1}));
    }

    // The bundled scans keep the scanner's range image; every point is seen through exactly one cell.
    const IO::SPointCloud c = IO::CPlyReader::Read(std::string(VELM_SOURCE_DIR) + "/data/bun000.ply");
    ASSERT_EQ(c.GetCount(), 40256u);
    ASSERT_EQ(c.uiGridRows * c.uiGridCols, 400u * 512u);
    std::vector<int> seen(c.GetCount(), 0);
    for (int32_t cell : c.vecGrid)
        if (cell >= 0)
            ++seen[cell];
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), static_cast<long>(c.GetCount()));

    // No normals, no confidence; a range grid whose size the header does not give is skipped.
    const IO::SPointCloud o =
        Parse("ply\nformat ascii 1.0\nelement vertex 2\nproperty float z\nproperty float y\n"
              "property float x\nproperty float intensity\nelement range_grid 2\n"
              "property list uchar int vertex_indices\nend_header\n1 2 3 0.5\n4 5 6 0.25\n1 1\n0\n");
    EXPECT_EQ(o.vecPositions, (std::vector<CbVector3f>{{3, 2, 1}, {6, 5, 4}}));
    EXPECT_EQ(o.vecConfidence, (std::vector<float>{0.5f, 0.25f}));
    EXPECT_TRUE(!o.HasNormals() && !o.HasGrid() && o.vecSkippedHeaderKeywords.empty());

    // Lines of unknown keywords before the first element (published range scans carry "bye" lines)
    // are skipped, each keyword named once; the same after an element stays a fault (below).
    const IO::SPointCloud b = Parse("ply\nformat ascii 1.0\nobj_info num_cols 1\nbye\nbye\nfoo 1 2\nbye\n"
                                    "element vertex 1\n" +
                                    kXyz + "end_header\n1 2 3\n");
    EXPECT_EQ(b.vecPositions, (std::vector<CbVector3f>{CbVector3f(1, 2, 3)}));
    EXPECT_EQ(b.vecSkippedHeaderKeywords, (std::vector<std::string>{"bye", "foo"}));
}

TEST(PlyReader, MalformedFilesNameFileAndPlace)
{
    const std::string at16 = "byte offset " + std::to_string(kBinaryHeader.size() + 16);
    const std::string hugeHeader =
        "ply\nformat binary_little_endian 1.0\nelement vertex 4000000000\n" + kXyz + "end_header\n";
    const auto binary = [](std::initializer_list<float> values) { // in the host's (little-endian) order
        return kBinaryHeader + std::string(reinterpret_cast<const char*>(values.begin()), 4 * values.size());
    };
    // A 1 x cols range image of one cell, which holds the given list.
    const auto grid = [&](const char* cols, const char* cell) {
        return "ply\nformat ascii 1.0\nobj_info num_cols " + std::string(cols) +
               "\nobj_info num_rows 1\nelement vertex 1\n" + kXyz +
               "element range_grid 1\nproperty list uchar int vertex_indices\nend_header\n1 2 3\n" + cell;
    };
    const std::string ascii = "ply\nformat ascii 1.0\n", v1 = ascii + "element vertex 1\n";
    const std::pair<std::string, std::string> cases[] = {
        {"", "the file is empty"},
        {"PLY\nformat ascii 1.0\n", "line 1: not a PLY file (the first line is not \"ply\")"},
        {v1, "line 3: the header has no end_header line"},
        {"ply\nformat binary 1.0\nend_header\n", "line 2: unknown encoding 'binary'"},
        {v1 + "bye\nend_header\n", "line 4: unknown header keyword 'bye'"},
        {v1 + "property real x\nend_header\n", "line 4: unknown property type 'real'"},
        {ascii + "element face 1\nproperty list float int v\nend_header\n",
         "line 4: the count type of a list must be an integer type, not 'float'"},
        {v1 + "property float y\nproperty float z\nend_header\n1 2\n", "the vertex element has no 'x' property"},
        {ascii + "element face 0\nproperty list uchar int v\nend_header\n", "the header declares no 'vertex' element"},
        {ascii + "element vertex 0\n" + kXyz + "end_header\n", "the file holds no points"},
        {v1 + kXyz + "property float nx\nend_header\n1 2 3 0\n",
         "the vertex element has only some of the normal properties nx, ny, nz"},
        {kAsciiHeader + "1 2 3\n", "line 9: the file ends after 1 of 2 records of element 'vertex'"},
        {kAsciiHeader + "1 2 3\n4 5\n", "line 9: too few values for record 1 of element 'vertex'"},
        {kAsciiHeader + "1 2 3 9\n4 5 6\n", "line 8: more values than element 'vertex' has properties"},
        {kAsciiHeader + "1 2 3\n4 5 6\n7 8 9\n", "line 10: unexpected data after the last element"},
        {kAsciiHeader + "1 2 3\n4 nan 6\n", "line 9: vertex 1 has a non-finite y"},
        {kAsciiHeader + "1 2 -inf\n4 5 6\n", "line 8: vertex 0 has a non-finite z"},
        {kAsciiHeader + "1 2 3\n4 5 1e39\n", "line 9: vertex 1 has a non-finite z"},
        {kAsciiHeader + "1 2 3\n4 5 6x\n", "line 9: '6x' is not a number (element 'vertex')"},
        {v1 + kXyz + "property uchar q\nend_header\n1 2 3 256\n",
         "line 9: '256' is out of range for its type (element 'vertex')"},
        {binary({1, 2, 3, 4}), at16 + ": the file ends inside record 1 of 2 of element 'vertex'"},
        {binary({1, 2, 3, 4, NAN, 6}), at16 + ": vertex 1 has a non-finite y"},
        {binary({1, 2, 3, 4, 5, 6, 7}), "byte offset " + std::to_string(kBinaryHeader.size() + 24) +
                                            ": 4 bytes of unexpected data after the last element"},
        {hugeHeader + "0123456789ab", "byte offset " + std::to_string(hugeHeader.size()) +
                                          ": element 'vertex' declares more records than the file can hold"},
        {grid("1", "1 1\n"), "line 13: range_grid cell 0 refers to vertex 1, outside 0..0"},
        {grid("2", "0\n"), "element 'range_grid' has 1 cells, but num_rows x num_cols is 1 x 2"},
    };
    for (const auto& [bytes, message] : cases)
        EXPECT_EQ(Thrown([&] { Parse(bytes); }).what(), "file 't.ply': " + message);
}

TEST(PlyWriter, RoundTripsEveryPartAndReplacesAtomically)
{
    const fs::path dir = fs::temp_directory_path() / ("velm_io_test_" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    IO::SPointCloud c;
    for (int i = 0; i < 6; ++i)
    {
        c.vecPositions.emplace_back(0.1f * i, -3.5f + i, 1e-7f * i);
        c.vecNormals.emplace_back(0.0f, i % 2 ? 1.0f : -1.0f, 0.0f);
        c.vecConfidence.push_back(0.25f * i);
    }
    c.uiGridRows = 2, c.uiGridCols = 4;
    c.vecGrid = {5, -1, 4, 3, -1, 2, 1, 0};
    const std::string path = (dir / "cloud.ply").string();
    IO::CPlyWriter::Write(path, c);
    for (const IO::SPointCloud& b : {IO::CPlyReader::Read(path), IO::CPointCloudReader::Read(path)})
        EXPECT_TRUE(std::tie(b.vecPositions, b.vecNormals, b.vecConfidence, b.vecGrid, b.uiGridRows, b.uiGridCols) ==
                    std::tie(c.vecPositions, c.vecNormals, c.vecConfidence, c.vecGrid, c.uiGridRows, c.uiGridCols));
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::others_read, fs::perms::others_read);

    // Positions only: no optional properties are written.
    IO::SPointCloud bare;
    bare.vecPositions = {CbVector3f(1, 2, 3)};
    IO::CPlyWriter::Write(path, bare);
    const IO::SPointCloud back = IO::CPlyReader::Read(path);
    EXPECT_EQ(back.vecPositions, bare.vecPositions);
    EXPECT_FALSE(back.HasNormals() || back.HasConfidence() || back.HasGrid());

    // A cloud that cannot be written leaves the existing file as it was and no temporary file behind.
    const std::pair<void (*)(IO::SPointCloud&), std::string> faults[] = {
        {[](IO::SPointCloud& b) { b.vecNormals.pop_back(); }, "the cloud has 5 normals for 6 points"},
        {[](IO::SPointCloud& b) { b.vecPositions[3].y = INFINITY; }, "point 3 has a non-finite value"},
        {[](IO::SPointCloud& b) { b.vecGrid[1] = 6; }, "range image cell 1 refers to point 6, which does not exist"},
    };
    for (const auto& [spoil, message] : faults)
    {
        IO::SPointCloud broken = c;
        spoil(broken);
        EXPECT_EQ(Thrown([&] { IO::CPlyWriter::Write(path, broken); }).what(), "file '" + path + "': " + message);
    }
    EXPECT_EQ(IO::CPlyReader::Read(path).vecPositions, bare.vecPositions);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);

    // A target in a missing directory, or a missing file to read: a clear error, nothing created.
    const std::string missing = (dir / "no/such/dir/out.ply").string(), absent = (dir / "absent.ply").string();
    const std::string created = Thrown([&] { IO::CPlyWriter::Write(missing, c); }).what();
    EXPECT_EQ(created.rfind("file '" + missing + "': cannot create", 0), 0u) << created;
    const VelmException e = Thrown([&] { IO::CPlyReader::Read(absent); });
    EXPECT_EQ(e.what(), "file '" + absent + "': cannot open for reading (No such file or directory)");
    EXPECT_STREQ(e.GetFilename(), "velm/IO/FileError.cpp");
    fs::remove_all(dir);
}

TEST(XyzReader, ParsesColumnsCommentsAndSeparators)
{
    const IO::SPointCloud c = Parse<IO::CXyzReader>("# scan\n\n1 2 3\r\n  4,5,6 # trailing\n\t+7 -8e-1 9.5\n");
    EXPECT_EQ(c.vecPositions, (std::vector<CbVector3f>{{1, 2, 3}, {4, 5, 6}, {7, -0.8f, 9.5f}}));
    EXPECT_FALSE(c.HasNormals());
    const IO::SPointCloud n = Parse<IO::CXyzReader>("1 2 3 0 0 1\n4 5 6 1 0 0");
    EXPECT_EQ(n.vecNormals, (std::vector<CbVector3f>{{0, 0, 1}, {1, 0, 0}}));

    const std::pair<std::string, std::string> faults[] = {
        {"", "the file is empty"},
        {"# only a comment\n\n", "the file holds no points"},
        {"1 2 3\n1 2 3 4\n", "line 2: expected 3 values (x y z) or 6 (x y z nx ny nz), found 4"},
        {"1 2 3\n\n1 2 3 0 0 1\n", "line 3: 6 values, but line 1 has 3"},
        {"1 2 3\n1 nan 3\n", "line 2: 'nan' is not a finite single-precision value"},
        {"1 2 inf\n", "line 1: 'inf' is not a finite single-precision value"},
        {"1 2 3e40\n", "line 1: '3e40' is not a finite single-precision value"},
        {"1 2 3;\n", "line 1: '3;' is not a number"},
    };
    for (const auto& [text, message] : faults)
        EXPECT_EQ(Thrown([&] { Parse<IO::CXyzReader>(text, "t.xyz"); }).what(), "file 't.xyz': " + message) << text;
}
