#include "velm/Pipeline/RegisterPair.h"

#include "velm/Pipeline/GlobalStart.h"

#include "velm/Base/SurfelData/CKdTree3D.h"
#include "velm/Base/SurfelData/CMovedKdTree3D.h"
#include "velm/DataLayer/Registration/VelmTorCorrICPPointSC.h"
#include "velm/Frame/CString.h"
#include "velm/Pipeline/Motion.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace Pipeline
{
namespace
{
using Clock = std::chrono::steady_clock;
using DataLayer::VelmTorCorrICPRegistrationResult;

double Seconds(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

// The engine with its running measures readable, for progress lines and stage records.
class CStageEngine : public DataLayer::VelmTorCorrICPPointSC
{
public:
    uint32_t Iteration() const { return uiIteration; }
    double Threshold() const { return dDistanceThreshold; }
    double Rmse() const { return dRMSE; }
    uint32_t Pairs() const { return uiNrFoundPairs; }
    double WeightSum() const { return dSumOfPairWeights; }
};

std::string Narrow(const CString& text)
{
    std::string out;
    for (const wchar_t c : text.Str())
        out += (c > 0 && c < 128) ? static_cast<char>(c) : '?';
    return out;
}

std::string Number(double v)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3g", v);
    return text;
}

// One start taken through the stages.
struct SAttempt
{
    uint32_t uiHypothesis = 0;
    CbMatrix4Rd mStart;
    CbMatrix4Rd mCoarse; // where the coarse stage left FLOAT (mm)
    double dScore = 0.0; // ranks hypotheses: the coarse stage's pair weight per sample
    std::shared_ptr<const VelmTorCorrICPRegistrationResult> spEngine;
    std::vector<SCheck> vecChecks;
    bool bVerified = false;
};

class CRegistration
{
public:
    CRegistration(const SScan& fix, const SScan& flt, const SRegistrationConfig& config, const CbMatrix4Rd& startMm,
                  const SRegisterOptions& options, SPairResult& result)
        : m_fix(fix),
          m_flt(flt),
          m_config(config),
          m_startMm(startMm),
          m_progress(options.fnProgress),
          m_threads(options.spThreads),
          m_result(result)
    {
    }

    // The start the engine reports and the turned starts go about (mm).
    void SetStart(const CbMatrix4Rd& startMm) { m_startMm = startMm; }

    SAttempt Coarse(uint32_t hypothesis, const CbMatrix4Rd& start)
    {
        SAttempt attempt;
        attempt.uiHypothesis = hypothesis;
        attempt.mStart = start;
        attempt.mCoarse = start;
        if (m_config.uiCoarseSteps == 0)
            return attempt;
        // Fixed distances and the six nearest neighbours throughout: wide correspondences that do not
        // collapse with an RMSE which is small only because the surfaces slide along each other.
        DataLayer::VelmTorCorrICPPointConfig c = m_config.fine;
        c.SetAdaptDistanceThreshold(0);
        c.SetQueryRadiusThreshold(0.0f);
        c.SetNumberOfPairs(m_config.uiCoarsePairs);
        c.SetMaxIterations(static_cast<int>(std::min<uint32_t>(m_config.uiCoarseMaxIterations, 2147483647u)));
        c.SetBoundingBoxBlowup(std::max(c.GetBoundingBoxBlowup(), static_cast<float>(m_config.dCoarseFirstThreshold)));
        CStageEngine engine;
        engine.SetThreadPool(m_threads);
        engine.SetConfiguration(c);
        engine.SetModelFix(*m_fix.spCollection, nullptr);
        engine.SetModelFloat(*m_flt.spCollection, nullptr);
        const uint32_t steps = m_config.uiCoarseSteps;
        for (uint32_t step = 0; step < steps; ++step)
        {
            const double t = steps > 1 ? static_cast<double>(step) / (steps - 1) : 0.0;
            const double threshold = m_config.dCoarseFirstThreshold *
                                     std::pow(m_config.dCoarseLastThreshold / m_config.dCoarseFirstThreshold, t);
            c.SetInitialDistanceThreshold(static_cast<float>(threshold));
            // Settled when an iteration moves FLOAT by less than a two-hundredth of the distance.
            c.SetOffsetThreshold(0.005 * threshold);
            engine.SetTransform(attempt.mCoarse);
            Iterate(engine, "coarse", hypothesis);
            attempt.mCoarse = engine.GetTransform();
        }
        attempt.dScore =
            engine.WeightSum() / std::max<double>(1.0, std::min<double>(m_config.uiCoarsePairs, m_flt.GetCount()));
        return attempt;
    }

    void Fine(SAttempt& attempt)
    {
        // The engine measures how far it moved FLOAT from its own frame: it gets FLOAT already where
        // the coarse stage left it, so that the movement it judges is its own.
        // Its kd-tree answers through FLOAT's own, which spares building one over the moved points
        // (a start far from rigid gets a tree of its own).
        const CbMatrix4Rd& coarse = attempt.mCoarse;
        std::shared_ptr<const Base::IKdTree3D> tree;
        std::shared_ptr<const std::vector<CbVector3f>> positions;
        if (Base::CMovedKdTree3D::Accepts(coarse))
        {
            auto moved = std::make_shared<const Base::CMovedKdTree3D>(m_flt.spKdTree, coarse, m_threads.get());
            positions = moved->GetPositions();
            tree = std::move(moved);
        }
        else
        {
            positions = Base::MovedPositions(m_flt.Positions(), coarse, m_threads.get());
            tree = std::make_shared<const Base::CKdTree3D>(positions, m_threads.get());
        }
        Base::SSurfelData surfels = m_flt.surfels;
        surfels.vecSampleOrder = m_flt.spCollection->GetDerivedData()->GetSampleOrder();
        const auto turn = [&](size_t begin, size_t end, uint32_t) {
            for (size_t i = begin; i < end; ++i)
                surfels.vecNormals[i] = CbVector3f(RotateDirection(coarse, CbVector3d(surfels.vecNormals[i])));
        };
        if (m_threads)
            m_threads->ParallelFor(surfels.vecNormals.size(), 4096, turn);
        else
            turn(0, surfels.vecNormals.size(), 0);
        const Base::CSurfelCollection floating(std::move(surfels), std::move(tree), std::move(positions),
                                               m_threads.get());
        CStageEngine engine;
        engine.SetThreadPool(m_threads);
        engine.SetConfiguration(m_config.fine);
        engine.SetModelFix(*m_fix.spCollection, nullptr);
        engine.SetModelFloat(floating, nullptr);
        engine.SetTransform(CbMatrix4Rd::Identity());
        Iterate(engine, "fine", attempt.uiHypothesis);
        const auto tEvaluation = Clock::now();
        engine.SetResultValues();
        auto result = std::make_shared<VelmTorCorrICPRegistrationResult>(*engine.GetResult());
        // A registration stopped before it began (too few surfels) keeps the identity: the start.
        result->SetTransformation(attempt.mCoarse * result->GetTransformation());
        result->SetICPStartTransformation(m_startMm);
        attempt.spEngine = result;
        m_result.vecStages.back().dSeconds += Seconds(tEvaluation, Clock::now());

        const auto tVerification = Clock::now();
        attempt.vecChecks = Verify(m_fix, m_flt, result->GetTransformation(), m_config);
        size_t applicable = 0;
        bool passed = true;
        for (const SCheck& check : attempt.vecChecks)
            if (check.bApplicable)
            {
                ++applicable;
                passed = passed && check.bPassed;
            }
        attempt.bVerified = result->GetSuccess() && applicable >= 2 && passed;
        m_result.dVerificationSeconds += Seconds(tVerification, Clock::now());
    }

    // Starts turned about FLOAT's middle by the hypothesis angle, about its principal axes first,
    // then about their diagonals, each both ways.
    std::vector<CbMatrix4Rd> Hypotheses() const
    {
        static const double axes[13][3] = {{1, 0, 0},  {0, 1, 0},  {0, 0, 1}, {1, 1, 0},  {1, -1, 0},
                                           {1, 0, 1},  {1, 0, -1}, {0, 1, 1}, {0, 1, -1}, {1, 1, 1},
                                           {1, 1, -1}, {1, -1, 1}, {-1, 1, 1}};
        const Base::CCovarianceEllipsoid& e = m_flt.spCollection->GetDerivedData()->GetCovarianceEllipsoid();
        const CbVector3d centre = m_startMm.TransformPoint(CbVector3d(e.GetCentre()));
        CbVector3d principal[3];
        for (int k = 0; k < 3; ++k)
        {
            principal[k] = RotateDirection(m_startMm, CbVector3d(e.GetAxisEnd(k)) - CbVector3d(e.GetCentre()));
            const double l = principal[k].Length();
            // A flat or degenerate scan has no spread along some axis: use the fixed frame's.
            principal[k] = l > 0.0 && std::isfinite(l) ? principal[k] * (1.0 / l) : CbVector3d(k == 0, k == 1, k == 2);
        }
        std::vector<CbMatrix4Rd> starts;
        for (uint32_t h = 0; h < m_config.uiStartHypotheses; ++h)
        {
            const double* a = axes[h / 2];
            CbVector3d axis = principal[0] * a[0] + principal[1] * a[1] + principal[2] * a[2];
            axis = axis * (1.0 / axis.Length());
            starts.push_back(m_startMm *
                             TurnAbout(centre, axis, h % 2 ? -m_config.dHypothesisAngle : m_config.dHypothesisAngle));
        }
        return starts;
    }

    // Whether two coarse results lie so close that the fine stage would take both to the same place.
    bool SamePlace(const CbMatrix4Rd& a, const CbMatrix4Rd& b) const
    {
        const CbVector3d centre(m_flt.spCollection->GetDerivedData()->GetCovarianceEllipsoid().GetCentre());
        return AngleBetween(a, b) < 1.0 &&
               (a.TransformPoint(centre) - b.TransformPoint(centre)).Length() < 4.0 * m_fix.dSpacing;
    }

private:
    void Iterate(CStageEngine& engine, const char* name, uint32_t hypothesis)
    {
        const auto t0 = Clock::now();
        engine.Init();
        do
        {
            engine.DoICPIteration();
            if (m_progress)
            {
                char line[256];
                std::snprintf(
                    line, sizeof line, "%s%s iteration %u: threshold %.6g mm, rmse %.6g mm, pairs %u, weight sum %.6g",
                    hypothesis ? ("hypothesis " + std::to_string(hypothesis) + " ").c_str() : "", name,
                    engine.Iteration(), engine.Threshold(), engine.Rmse(), engine.Pairs(), engine.WeightSum());
                m_progress(line);
            }
        } while (!engine.IsFinished());
        SStage stage;
        stage.strName = name;
        stage.uiHypothesis = hypothesis;
        stage.uiIterations = engine.Iteration();
        stage.dThreshold = engine.Threshold();
        stage.dRmse = engine.Rmse();
        stage.uiPairs = engine.Pairs();
        stage.dSeconds = Seconds(t0, Clock::now());
        m_result.vecStages.push_back(stage);
    }

    const SScan& m_fix;
    const SScan& m_flt;
    const SRegistrationConfig& m_config;
    CbMatrix4Rd m_startMm;
    const std::function<void(const std::string&)>& m_progress;
    const std::shared_ptr<CThreadPool> m_threads;
    SPairResult& m_result;
};

std::string Describe(const SCheck& c)
{
    return c.strName + " " + Number(c.dValue) + " " + c.strTest + " " + Number(c.dLimit);
}

std::string Verdict(const SAttempt& a)
{
    std::vector<const SCheck*> applicable, failed;
    std::string missing;
    for (const SCheck& c : a.vecChecks)
    {
        if (c.bApplicable)
        {
            applicable.push_back(&c);
            if (!c.bPassed)
                failed.push_back(&c);
        }
        else
            missing += (missing.empty() ? "" : "; ") + c.strName + ": " + c.strNote;
    }
    if (a.bVerified)
    {
        std::string text = "verified:";
        for (size_t i = 0; i < applicable.size(); ++i)
            text += (i ? ", " : " ") + Describe(*applicable[i]);
        return text;
    }
    std::string text = "not verified: ";
    const auto state = a.spEngine->GetState();
    if (state != VelmTorCorrICPRegistrationResult::Success)
        text += "the engine ended in " + Narrow(VelmTorCorrICPRegistrationResult::GetStateName(state));
    for (size_t i = 0; i < failed.size(); ++i)
        text += std::string(i == 0 && state != VelmTorCorrICPRegistrationResult::Success ? "; "
                            : i                                                          ? ", "
                                                                                         : "") +
                failed[i]->strName + " " + Number(failed[i]->dValue) + " is not " +
                (failed[i]->strTest == "<" ? "below " : "above ") + Number(failed[i]->dLimit);
    if (state == VelmTorCorrICPRegistrationResult::Success && failed.empty())
        text += "only " + std::to_string(applicable.size()) + " check" + (applicable.size() == 1 ? "" : "s") +
                " apply, at least 2 must (" + missing + ")";
    return text;
}
// Refines the starts a search proposes in rank order until one is verified; the best ranked one's
// result when none is. Starts whose coarse stage ends where an earlier one's did are not refined again.
SAttempt RegisterFoundStarts(CRegistration& registration, const SScan& fix, const SScan& flt,
                             const SRegisterOptions& options, SPairResult& result)
{
    const SGlobalSearch search = SearchStarts(fix, flt, options.spThreads.get());
    if (options.fnProgress)
    {
        char line[256];
        std::snprintf(line, sizeof line, "search: voxel %.6g mm, features %zu and %zu, correspondences %zu, %zu starts",
                      search.dVoxel, search.uiFixFeatures, search.uiFloatFeatures, search.uiCorrespondences,
                      search.vecHypotheses.size());
        options.fnProgress(line);
    }
    SStartReport& report = result.start;
    report.uiHypotheses = static_cast<uint32_t>(search.vecHypotheses.size());
    report.dVoxel = search.dVoxel;
    report.uiCorrespondences = search.uiCorrespondences;
    report.dSeconds = search.dSeconds;
    std::optional<SAttempt> first;
    std::vector<CbMatrix4Rd> refined;
    result.uiHypotheses = 0;
    for (uint32_t rank = 1; rank <= search.vecHypotheses.size(); ++rank)
    {
        const SStartHypothesis& h = search.vecHypotheses[rank - 1];
        registration.SetStart(h.mTransformation);
        SAttempt attempt = registration.Coarse(rank, h.mTransformation);
        if (std::any_of(refined.begin(), refined.end(),
                        [&](const CbMatrix4Rd& m) { return registration.SamePlace(m, attempt.mCoarse); }))
            continue;
        refined.push_back(attempt.mCoarse);
        ++result.uiHypotheses;
        registration.Fine(attempt);
        if (attempt.bVerified || !first)
        {
            report.uiRank = rank;
            report.inliers = h.uiInliers;
            if (attempt.bVerified)
                return attempt;
            first = std::move(attempt);
        }
    }
    return *first;
}
} // namespace

const char* StartMethodName(EStartMethod method)
{
    switch (method)
    {
    case EStartMethod::Identity: return "identity";
    case EStartMethod::Global: return "global";
    case EStartMethod::Given: break;
    }
    return "given";
}

CRecord SStartReport::ToRecord() const
{
    CRecord r = CRecord::Map();
    r.Set("method", StartMethodName(eMethod));
    r.Set("hypotheses", uiHypotheses);
    r.Set("inliers", inliers ? CRecord(*inliers) : CRecord());
    r.Set("rank", uiRank);
    if (eMethod == EStartMethod::Global)
    {
        r.Set("voxel_mm", dVoxel);
        r.Set("correspondences", uiCorrespondences);
        r.Set("seconds", dSeconds);
    }
    return r;
}

CRecord SStage::ToRecord() const
{
    CRecord r = CRecord::Map();
    r.Set("name", strName);
    r.Set("hypothesis", uiHypothesis);
    r.Set("iterations", uiIterations);
    r.Set("threshold_mm", dThreshold);
    r.Set("rmse_mm", CRecord::Measure(dRmse));
    r.Set("pairs", uiPairs);
    r.Set("seconds", dSeconds);
    return r;
}

std::string SPairResult::GetStateName() const
{
    return Narrow(VelmTorCorrICPRegistrationResult::GetStateName(spEngine->GetState()));
}

uint32_t SPairResult::GetIterations() const
{
    uint32_t sum = 0;
    for (const SStage& s : vecStages)
        sum += s.uiIterations;
    return sum;
}

CRecord MatrixRecord(const CbMatrix4Rd& m)
{
    CRecord rows = CRecord::List();
    for (int r = 0; r < 4; ++r)
    {
        CRecord row = CRecord::List();
        for (int c = 0; c < 4; ++c)
            row.Append(m.Usual(r, c));
        rows.Append(std::move(row));
    }
    return rows;
}

CRecord SPairResult::ToRecord() const
{
    const VelmTorCorrICPRegistrationResult& e = *spEngine;
    const auto& dof = e.GetDegreeOfFreedomDescriptionFix();
    CRecord r = CRecord::Map();
    r.Set("state", GetStateName());
    r.Set("state_value", static_cast<int>(e.GetState()));
    r.Set("failure_cause", Narrow(e.GetFailureCause()));
    r.Set("verified", bVerified);
    r.Set("verdict", strVerdict);
    r.Set("units", strUnits);
    // Without pairs the engine keeps whatever error it had before (0 when it never had pairs).
    r.Set("rmse_mm", e.GetNrFoundPairs() ? CRecord::Measure(e.GetRMSE()) : CRecord());
    r.Set("transformation", MatrixRecord(mTransformation));
    r.Set("start_transformation", MatrixRecord(mStart));
    r.Set("start", start.ToRecord());
    r.Set("iterations", GetIterations());
    r.Set("pairs", e.GetNrFoundPairs());
    r.Set("sum_of_weights", CRecord::Measure(e.GetSumOfWeights()));
    r.Set("overlap_quotient", CRecord::Measure(e.GetOverlapQuotient()));
    r.Set("pair_weights_quotient", CRecord::Measure(e.GetPairWeightsQuotient()));
    r.Set("offset_mm", CRecord::Measure(e.GetOffset()));
    r.Set("relative_movement", CRecord::Measure(e.GetRelativeMovement()));
    r.Set("final_distance_threshold_mm", CRecord::Measure(e.GetFinalDistanceThreshold()));
    CRecord eigenvalues = CRecord::List();
    for (float v : dof.aEigenValues)
        eigenvalues.Append(CRecord::Measure(v));
    r.Set("dof_eigenvalues", std::move(eigenvalues));
    r.Set("dof_condition_number", CRecord::Measure(dof.aEigenValues[0] / dof.aEigenValues[5]));
    CRecord checks = CRecord::List();
    for (const SCheck& c : vecChecks)
        checks.Append(c.ToRecord());
    r.Set("verification", std::move(checks));
    CRecord stages = CRecord::List();
    for (const SStage& s : vecStages)
        stages.Append(s.ToRecord());
    r.Set("stages", std::move(stages));
    CRecord hypotheses = CRecord::Map();
    hypotheses.Set("tried", uiHypotheses);
    hypotheses.Set("reported", uiHypothesis);
    r.Set("hypotheses", std::move(hypotheses));
    r.Set("sampling_density_mm", dSpacingFix);
    CRecord scans = CRecord::Map();
    scans.Set("spacing_fix_mm", dSpacingFix);
    scans.Set("spacing_float_mm", dSpacingFloat);
    scans.Set("noise_fix_mm", dNoiseFix);
    scans.Set("noise_float_mm", dNoiseFloat);
    r.Set("scans", std::move(scans));
    r.Set("points_fix", uiPointsFix);
    r.Set("points_float", uiPointsFloat);
    CRecord timings = CRecord::Map();
    timings.Set("load", dLoadSeconds);
    timings.Set("surfels", dSurfelSeconds);
    timings.Set("registration", dRegistrationSeconds);
    timings.Set("verification", dVerificationSeconds);
    timings.Set("total", dLoadSeconds + dSurfelSeconds + dRegistrationSeconds + dVerificationSeconds);
    r.Set("timings_s", std::move(timings));
    r.Set("configuration", ConfigToRecord(config));
    return r;
}

SPairResult RegisterPair(const SScan& fix, const SScan& flt, const SRegisterOptions& options)
{
    if (fix.strUnits != flt.strUnits || fix.dScale != flt.dScale)
        throw std::invalid_argument("the scans are in different units (" + fix.strUnits + " and " + flt.strUnits + ")");
    SPairResult result;
    result.config = options.config ? *options.config : DefaultConfig(fix);
    CheckConfig(result.config);
    result.mStart = options.mStart;
    result.strUnits = fix.strUnits;
    result.dSpacingFix = fix.dSpacing;
    result.dSpacingFloat = flt.dSpacing;
    result.dNoiseFix = fix.dNoise;
    result.dNoiseFloat = flt.dNoise;
    result.uiPointsFix = fix.GetCount();
    result.uiPointsFloat = flt.GetCount();
    result.dLoadSeconds = fix.dLoadSeconds + flt.dLoadSeconds;
    result.dSurfelSeconds = fix.dSurfelSeconds + flt.dSurfelSeconds;

    const auto t0 = Clock::now();
    result.start.eMethod = options.eStart;
    CbMatrix4Rd startMm =
        options.eStart == EStartMethod::Given ? ScaleTranslation(options.mStart, fix.dScale) : CbMatrix4Rd::Identity();
    CRegistration registration(fix, flt, result.config, startMm, options, result);
    SAttempt chosen;
    if (options.eStart == EStartMethod::Global)
        chosen = RegisterFoundStarts(registration, fix, flt, options, result);
    else
    {
        chosen = registration.Coarse(0, startMm);
        registration.Fine(chosen);
    }
    if (!chosen.bVerified && options.eStart != EStartMethod::Global && result.config.uiStartHypotheses > 0)
    {
        std::vector<SAttempt> candidates;
        uint32_t h = 0;
        for (const CbMatrix4Rd& start : registration.Hypotheses())
            candidates.push_back(registration.Coarse(++h, start));
        result.uiHypotheses += h;
        std::stable_sort(candidates.begin(), candidates.end(),
                         [](const SAttempt& a, const SAttempt& b) { return a.dScore > b.dScore; });
        std::vector<CbMatrix4Rd> refined = {chosen.mCoarse};
        uint32_t tries = 0;
        for (SAttempt& candidate : candidates)
        {
            if (tries >= result.config.uiHypothesesRefined)
                break;
            if (std::any_of(refined.begin(), refined.end(),
                            [&](const CbMatrix4Rd& m) { return registration.SamePlace(m, candidate.mCoarse); }))
                continue;
            ++tries;
            refined.push_back(candidate.mCoarse);
            registration.Fine(candidate);
            if (candidate.bVerified)
            {
                chosen = std::move(candidate);
                break;
            }
        }
    }
    result.dRegistrationSeconds = Seconds(t0, Clock::now()) - result.dVerificationSeconds;

    result.spEngine = chosen.spEngine;
    // A registration that never moved FLOAT reports the start as given, not as it reads after the
    // round trip through millimetres.
    const CbMatrix4Rd& reached = chosen.spEngine->GetTransformation();
    if (options.eStart == EStartMethod::Global)
    {
        startMm = chosen.spEngine->GetICPStartTransformation();
        result.mStart = ScaleTranslation(startMm, 1.0 / fix.dScale);
    }
    else if (options.eStart == EStartMethod::Identity)
        result.mStart = CbMatrix4Rd::Identity();
    const CbMatrix4Rd& startAsGiven = result.mStart;
    result.mTransformation = reached == startMm ? startAsGiven : ScaleTranslation(reached, 1.0 / fix.dScale);
    result.vecChecks = chosen.vecChecks;
    result.bVerified = chosen.bVerified;
    result.uiHypothesis = chosen.uiHypothesis;
    result.strVerdict = Verdict(chosen);
    if (options.eStart == EStartMethod::Global && !chosen.bVerified)
        result.strVerdict = "no start the search proposed was verified (" + std::to_string(result.uiHypotheses) +
                            " of " + std::to_string(result.start.uiHypotheses) +
                            " refined); the best ranked: " + result.strVerdict;
    return result;
}
} // namespace Pipeline
