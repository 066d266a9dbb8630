// Registration of the bundled real range scans with the defaults, from perturbed starts: a result
// either lands on the published alignment or is not verified, never a wrong "Success".
#include "RealScans.h"

#include "velm/Pipeline/RegisterPair.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>

using namespace RealScans;

namespace
{
std::shared_ptr<const Pipeline::SScan> Load(const std::string& name)
{
    static std::map<std::string, std::shared_ptr<const Pipeline::SScan>> scans;
    auto& scan = scans[name];
    if (!scan)
    {
        Pipeline::SScanOptions metres;
        metres.strUnits = "m";
        scan = Pipeline::LoadScan(kData + name + ".ply", metres);
    }
    return scan;
}

struct SOutcome
{
    bool success = false;
    double degrees = 0.0, mm = 0.0;
    uint32_t iterations = 0;
    double rmse = 0.0;
};

SOutcome Register(const std::string& conf, const std::string& fixName, const std::string& fltName,
                  const CbMatrix4Rd& startMm)
{
    const auto fix = Load(fixName), flt = Load(fltName);
    Pipeline::SRegisterOptions options;
    options.mStart = Pipeline::ScaleTranslation(startMm, 0.001);
    const Pipeline::SPairResult result = Pipeline::RegisterPair(*fix, *flt, options);
    const std::string base = fixName.substr(fixName.rfind('/') + 1), other = fltName.substr(fltName.rfind('/') + 1);
    const auto [degrees, mm] =
        Error(Published(conf, base, other), result.spEngine->GetTransformation(), Centroid(*flt));
    return {result.GetSuccess(), degrees, mm, result.GetIterations(), result.spEngine->GetRMSE()};
}
} // namespace

TEST(RealScans, DefaultsReturnToThePublishedAlignmentFromTenDegreeStarts)
{
    struct Pair
    {
        const char *a, *b;
        double maxDegrees, maxMm;
    };
    const Pair pairs[] = {{"bun000", "bun045", 0.2, 0.5},
                          {"bun000", "bun315", 0.2, 0.5},
                          {"bun045", "bun090", 0.2, 0.5},
                          {"bun270", "bun315", 0.2, 0.6},
                          {"bun180", "bun270", 0.4, 1.0}};
    // Ten degrees and ten millimetres, in directions that differ from case to case.
    const CbVector3d axes[] = {{1, 0, 0}, {0, 1, 0},  {0, 0, 1},  {1, 1, 0}, {0, 1, -1},
                               {1, 0, 1}, {-1, 1, 1}, {1, -1, 1}, {1, 1, 1}, {2, -1, 0}};
    int caseIndex = 0;
    for (const Pair& pair : pairs)
        for (int direction = 0; direction < 2; ++direction, ++caseIndex)
        {
            const std::string fix = direction == 0 ? pair.a : pair.b, flt = direction == 0 ? pair.b : pair.a;
            SCOPED_TRACE(flt + " onto " + fix);
            const CbMatrix4Rd published = Published("bun.conf", fix, flt);
            const CbVector3d centre = published.TransformPoint(Centroid(*Load(flt)));
            const CbVector3d axis = axes[caseIndex] * (1.0 / axes[caseIndex].Length());
            const CbVector3d shift = axes[(caseIndex + 3) % 10] * (10.0 / axes[(caseIndex + 3) % 10].Length());
            const SOutcome o = Register("bun.conf", fix, flt,
                                        published * Pipeline::TurnAbout(centre, axis, 10.0) *
                                            CbMatrix4Rd::Translation(shift.x, shift.y, shift.z));
            EXPECT_TRUE(o.success);
            EXPECT_LT(o.degrees, pair.maxDegrees);
            EXPECT_LT(o.mm, pair.maxMm);
            std::printf("| %s onto %s | %.3f | %.3f | %u | %.3f |\n", flt.c_str(), fix.c_str(), o.degrees, o.mm,
                        o.iterations, o.rmse);
        }
}

#ifndef VELM_SANITIZE // dozens of registrations of real scans: the release build runs them
TEST(RealScans, SeededStartsInEveryBandGiveNoFalseSuccess)
{
    // A bunny pair and a dragon pair of about 60 % overlap, both directions, four seeded starts per band:
    // bands of 3-10 degrees / 2-10 mm, 10-20 / 10-20 and 20-35 / 20-40.
    struct Pair
    {
        const char *conf, *a, *b;
        double maxDegrees, maxMm;
    };
    const Pair pairs[] = {
        {"bun.conf", "bun045", "bun090", 0.2, 0.5},
        {"dragon/dragonStandRight.conf", "dragon/dragonStandRight_48", "dragon/dragonStandRight_72", 0.4, 0.8}};
    const double bands[3][4] = {{3, 10, 2, 10}, {10, 20, 10, 20}, {20, 35, 20, 40}};
    const int required[3] = {16, 15, 12}; // of 16: every start in band 1, 90 % in band 2, 75 % in band 3
    for (int band = 0; band < 3; ++band)
    {
        int accurate = 0;
        for (const Pair& pair : pairs)
            for (int direction = 0; direction < 2; ++direction)
            {
                const std::string fix = direction == 0 ? pair.a : pair.b, flt = direction == 0 ? pair.b : pair.a;
                const std::string base = fix.substr(fix.rfind('/') + 1), other = flt.substr(flt.rfind('/') + 1);
                const CbMatrix4Rd published = Published(pair.conf, base, other);
                for (uint32_t seed = 0; seed < 4; ++seed)
                {
                    SCOPED_TRACE(flt + " onto " + fix + ", band " + std::to_string(band + 1) + ", seed " +
                                 std::to_string(seed));
                    const CbMatrix4Rd start = PerturbedStart(published, Centroid(*Load(flt)), seed, bands[band][0],
                                                             bands[band][1], bands[band][2], bands[band][3]);
                    const SOutcome o = Register(pair.conf, fix, flt, start);
                    const bool wrong = o.degrees > 1.0 || o.mm > 3.0;
                    EXPECT_FALSE(o.success && wrong) << o.degrees << " deg, " << o.mm << " mm";
                    accurate += o.success && o.degrees < pair.maxDegrees && o.mm < pair.maxMm;
                }
            }
        EXPECT_GE(accurate, required[band]) << "band " << band + 1;
    }
}
#endif
