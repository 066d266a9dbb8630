#pragma once

#include "velm/Base/SurfelData/CKdTree3D.h"
#include "velm/Base/SurfelData/CSurfelCollection.h"
#include "velm/Base/SurfelData/SurfelsFromPoints.h"
#include "velm/Frame/CThreadPool.h"
#include "velm/Frame/CbMatrix4.h"
#include "velm/Frame/CbVector3.h"
#include "velm/IO/SPointCloud.h"
#include "velm/Pipeline/CViewGrid.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace Pipeline
{
// Millimetres per unit of point files given in `units` ("mm" or "m"). The engine works in millimetres.
// Throws std::invalid_argument for any other text.
double UnitScale(const std::string& units);

// How a scan's points become surfels.
struct SScanOptions
{
    std::string strUnits = "mm";
    // Normal estimation and orientation; fScale is ignored (it follows strUnits), and a viewpoint is
    // given in file units.
    Base::SSurfelsFromPointsOptions surfels;
};

// A scan ready for registration: its points as read, its surfels in millimetres with the normals
// used, the collection over them, and the measures every default and limit is expressed in.
// Immutable once prepared; share it (several registrations may use one scan, also in parallel).
struct SScan
{
    std::string strName;   // "file 'NAME'", or a caller's label; begins its messages
    IO::SPointCloud cloud; // what the scan keeps of its points besides the surfels: range image, confidences,
                           // the header keywords its file had that the reader skipped; no positions, no normals
    std::string strUnits;
    double dScale = 1.0;                                         // millimetres per file unit
    std::shared_ptr<const Base::CKdTree3D> spKdTree;             // over the positions (millimetres), which it holds
    Base::SSurfelData surfels;                                   // every element but the positions; unit normals
    std::shared_ptr<const Base::CSurfelCollection> spCollection; // on the scan's one kd-tree, sample order drawn
    double dSpacing = 0.0;       // median distance from a point to its nearest other point (mm)
    double dNoise = 0.0;         // median RMS distance of a point's neighbours from their plane (mm)
    CbVector3d vViewDirection;   // unit direction from the surface towards the scanner (mm frame)
    double dLoadSeconds = 0.0;   // reading the file
    double dSurfelSeconds = 0.0; // normals, qualities, boundary flags, collection, spacing and noise

    const std::vector<CbVector3f>& Positions() const;
    size_t GetCount() const { return Positions().size(); }
    // FLOAT moved by a transformation in file units (the library's row-vector layout), with the
    // normals it was registered with, in file units; confidences and range image kept.
    IO::SPointCloud Moved(const CbMatrix4Rd& transformation) const;

    // For a range scan (a cloud with a range grid): its points seen along the view direction, as
    // (p . ViewAxisU, p . ViewAxisV, 0) in a grid whose cells are one spacing wide, so that the
    // measured point on a line of sight is found. Null without a range grid. Built on first use (only
    // a fixed scan needs it), once, also when several threads ask at the same time.
    const CViewGrid* ViewGrid() const;
    const CbVector3d& ViewAxisU() const;
    const CbVector3d& ViewAxisV() const;

private:
    mutable std::once_flag m_viewOnce;
    mutable std::shared_ptr<const CViewGrid> m_spViewGrid;
    mutable CbVector3d m_vViewAxisU;
    mutable CbVector3d m_vViewAxisV;
};

// Makes the surfels of points the caller keeps alive for the call (no copy of them is made but the
// scaled one the surfels are), the loops on the pool's threads (null: the calling thread; the same scan
// for every thread count). Throws std::invalid_argument for fewer than 3 points, points without spacing
// (most coincide), a zero view direction or an unknown unit, and VelmException for a non-finite position.
std::shared_ptr<const SScan> PrepareScan(const Base::SPointsView& points, const SScanOptions& options, std::string name,
                                         CThreadPool* pool = nullptr);

// Makes the surfels of a point cloud, the loops on the pool's threads (null: the calling thread; the
// same scan for every thread count). Throws std::invalid_argument for fewer than 3 points, points
// without spacing (most coincide), a zero view direction, an unknown unit, or normals, confidences or a
// range image that do not match the points.
std::shared_ptr<const SScan> PrepareScan(IO::SPointCloud cloud, const SScanOptions& options, std::string name,
                                         CThreadPool* pool = nullptr);

// Reads a point file through IO and prepares it; file faults throw the reader's VelmException.
std::shared_ptr<const SScan> LoadScan(const std::string& file, const SScanOptions& options,
                                      CThreadPool* pool = nullptr);

// Prepares several scans at once, as LoadScans does (names begin their messages); the fault of the
// first failing scan in the list is thrown once all have ended.
std::vector<std::shared_ptr<const SScan>> PrepareScans(const std::vector<Base::SPointsView>& points,
                                                       const std::vector<std::string>& names,
                                                       const SScanOptions& options, CThreadPool* pool = nullptr);

// How long loading several scans took, wall clock: reading all files, then preparing all scans.
struct SLoadTimes
{
    double dLoadSeconds = 0.0;
    double dSurfelSeconds = 0.0;
};

// Loads several files at once, one a thread of the pool while there are threads (each scan then uses
// the thread that prepares it), in the order given: first every file is read, then every scan
// prepared. When files fail, the fault of the first of them in the list is thrown, once all have ended.
std::vector<std::shared_ptr<const SScan>> LoadScans(const std::vector<std::string>& files, const SScanOptions& options,
                                                    CThreadPool* pool = nullptr, SLoadTimes* times = nullptr);
} // namespace Pipeline
