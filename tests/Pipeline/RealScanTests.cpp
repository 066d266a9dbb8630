// Registration of the bundled real range scans with the defaults, from perturbed starts: a result
// either lands on the published alignment or is not verified, never a wrong "Success".
#include "RealScans.h"

#include "velm/Pipeline/RegisterPair.h"

#include <gtest/gtest.h>

using namespace RealScans;

namespace
{
std::shared_ptr<const Pipeline::SScan> Load(const std::string& name)
{
    static std::map<std::string, std::shared_ptr<const Pipeline::SScan>> scans;
    auto& scan = scans[name];
    if (!scan)
        scan = Pipeline::LoadScan(kData + name + ".ply", {"m", {}});
    return scan;
}

struct SPair
{
    const char *conf, *a, *b;
    double maxDegrees, maxMm; // how close a successful registration must land
};

// Whether FLOAT lands accurately on FIX from a start in the band (PerturbedStart) about the published
// alignment; a success far from it fails the test.
bool Register(const SPair& pair, const std::string& fix, const std::string& flt, uint32_t seed, const double (&band)[4])
{
    SCOPED_TRACE(flt + " onto " + fix + ", seed " + std::to_string(seed) + ", " + std::to_string(band[0]) + " degrees");
    const CbMatrix4Rd published = Published(pair.conf, fix.substr(fix.rfind('/') + 1), flt.substr(flt.rfind('/') + 1));
    const CbVector3d centroid = Centroid(*Load(flt));
    Pipeline::SRegisterOptions options;
    options.mStart = Pipeline::ScaleTranslation(
        PerturbedStart(published, centroid, seed, band[0], band[1], band[2], band[3]), 0.001);
    const Pipeline::SPairResult result = Pipeline::RegisterPair(*Load(fix), *Load(flt), options);
    const auto [degrees, mm] = Error(published, result.spEngine->GetTransformation(), centroid);
    EXPECT_FALSE(result.GetSuccess() && (degrees > 1.0 || mm > 3.0)) << degrees << " deg, " << mm << " mm";
    return result.GetSuccess() && degrees < pair.maxDegrees && mm < pair.maxMm;
}
} // namespace

TEST(RealScans, DefaultsReturnToThePublishedAlignmentFromTenDegreeStarts)
{
    const SPair pairs[] = {{"bun.conf", "bun000", "bun045", 0.2, 0.5},
                           {"bun.conf", "bun000", "bun315", 0.2, 0.5},
                           {"bun.conf", "bun045", "bun090", 0.2, 0.5},
                           {"bun.conf", "bun270", "bun315", 0.2, 0.6},
                           {"bun.conf", "bun180", "bun270", 0.4, 1.0}};
    // Ten degrees and ten millimetres, in directions that differ from case to case.
    uint32_t seed = 0;
    for (const SPair& pair : pairs)
        for (const auto& [fix, flt] : {std::pair(pair.a, pair.b), std::pair(pair.b, pair.a)})
            EXPECT_TRUE(Register(pair, fix, flt, seed++, {10, 10, 10, 10})) << flt << " onto " << fix;
}

#ifndef VELM_SANITIZE // dozens of registrations of real scans: the release build runs them
TEST(RealScans, SeededStartsInEveryBandGiveNoFalseSuccess)
{
    // A bunny pair and a dragon pair of about 60 % overlap, both directions, four seeded starts per band:
    // bands of 3-10 degrees / 2-10 mm, 10-20 / 10-20 and 20-35 / 20-40.
    const SPair pairs[] = {
        {"bun.conf", "bun045", "bun090", 0.2, 0.5},
        {"dragon/dragonStandRight.conf", "dragon/dragonStandRight_48", "dragon/dragonStandRight_72", 0.4, 0.8}};
    const double bands[3][4] = {{3, 10, 2, 10}, {10, 20, 10, 20}, {20, 35, 20, 40}};
    const int required[3] = {16, 15, 12}; // of 16: every start in band 1, 90 % in band 2, 75 % in band 3
    for (int band = 0; band < 3; ++band)
    {
        int accurate = 0;
        for (const SPair& pair : pairs)
            for (const auto& [fix, flt] : {std::pair(pair.a, pair.b), std::pair(pair.b, pair.a)})
                for (uint32_t seed = 0; seed < 4; ++seed)
                    accurate += Register(pair, fix, flt, seed, bands[band]);
        EXPECT_GE(accurate, required[band]) << "band " << band + 1;
    }
}
#endif
