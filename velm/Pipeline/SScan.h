#pragma once

#include "velm/Base/SurfelData/CKdTree3D.h"
#include "velm/Base/SurfelData/CSurfelCollection.h"
#include "velm/Base/SurfelData/SurfelsFromPoints.h"
#include "velm/Frame/CbMatrix4.h"
#include "velm/Frame/CbVector3.h"
#include "velm/IO/SPointCloud.h"

#include <memory>
#include <string>

namespace Pipeline
{
// Millimetres per unit of point files given in `units` ("mm" or "m"). The engine works in millimetres.
// Throws std::invalid_argument for any other text.
double UnitScale(const std::string& units);

// How a scan's points become surfels.
struct SScanOptions
{
    std::string strUnits = "mm";
    // Normal estimation and orientation; fScale is ignored (it follows strUnits) and a viewpoint is
    // given in file units.
    Base::SSurfelsFromPointsOptions surfels;
};

// A scan ready for registration: its points as read, its surfels in millimetres with the normals
// used, the collection over them, and the measures every default and limit is expressed in.
// Immutable once prepared; share it (several registrations may use one scan, also in parallel).
struct SScan
{
    std::string strName;   // "file 'NAME'", or a caller's label; begins its messages
    IO::SPointCloud cloud; // as read, in file units
    std::string strUnits;
    double dScale = 1.0;                                         // millimetres per file unit
    Base::SSurfelData surfels;                                   // millimetres; unit normals
    std::shared_ptr<const Base::CSurfelCollection> spCollection; // over the surfels, sample order drawn
    double dSpacing = 0.0;     // median distance from a point to its nearest other point (mm)
    double dNoise = 0.0;       // median RMS distance of a point's neighbours from their plane (mm)
    CbVector3d vViewDirection; // unit direction from the surface towards the scanner (mm frame)
    // For a range scan (a cloud with a range grid): its points seen along the view direction, as
    // (p . vViewAxisU, p . vViewAxisV, 0) in a kd-tree, so that the measured point on a line of sight is
    // found. Null without a range grid.
    CbVector3d vViewAxisU;
    CbVector3d vViewAxisV;
    std::shared_ptr<const Base::CKdTree3D> spViewTree;
    double dLoadSeconds = 0.0;   // reading the file
    double dSurfelSeconds = 0.0; // normals, qualities, boundary flags, collection, spacing and noise

    size_t GetCount() const { return surfels.vecPositions.size(); }
    // FLOAT moved by a transformation in file units (the library's row-vector layout), with the
    // normals it was registered with, in file units; confidences and range image kept.
    IO::SPointCloud Moved(const CbMatrix4Rd& transformation) const;
};

// Makes the surfels of a point cloud. Throws std::invalid_argument for fewer than 3 points, points
// without spacing (most coincide) or an unknown unit, and VelmException for what the surfel layer
// rejects (a zero view direction, normals or confidences that do not match the points).
std::shared_ptr<const SScan> PrepareScan(IO::SPointCloud cloud, const SScanOptions& options, std::string name);

// Reads a point file through IO and prepares it; file faults throw the reader's VelmException.
std::shared_ptr<const SScan> LoadScan(const std::string& file, const SScanOptions& options);
} // namespace Pipeline
