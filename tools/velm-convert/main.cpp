// velm-convert IN OUT: reads a point file (PLY in any encoding, or XYZ text) and writes it as binary
// little-endian PLY, keeping normals, confidences and the range image.
#include "velm/IO/CPlyWriter.h"
#include "velm/IO/CPointCloudReader.h"

#include <CLI/CLI.hpp>

#include <exception>
#include <iostream>

int main(int argc, char** argv)
{
    CLI::App app{"Converts a point file (PLY or XYZ) to binary little-endian PLY."};
    std::string input, output;
    app.add_option("IN", input, "point file to read")->required();
    app.add_option("OUT", output, "binary PLY file to write")->required();
    try
    {
        app.parse(argc, argv);
    }
    catch (const CLI::ParseError& e)
    {
        return app.exit(e) == 0 ? 0 : 1;
    }
    try
    {
        const IO::SPointCloud cloud = IO::CPointCloudReader::Read(input);
        IO::CPlyWriter::Write(output, cloud);
        std::cout << output << ": " << cloud.GetCount() << " points" << (cloud.HasNormals() ? ", normals" : "")
                  << (cloud.HasConfidence() ? ", confidences" : "")
                  << (cloud.HasGrid() ? ", range image " + std::to_string(cloud.uiGridRows) + " x " +
                                            std::to_string(cloud.uiGridCols)
                                      : std::string())
                  << "\n";
    }
    catch (const std::exception& e)
    {
        std::cerr << "velm-convert: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
