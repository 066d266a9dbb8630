#pragma once

#include "velm/DataLayer/Registration/VelmTorCorrICPPointConfig.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace VelmTool
{
// The registration settings that work on real scans without tuning. Every distance derives from the
// fixed scan's sampling density (the median spacing of its points, in millimetres).
DataLayer::VelmTorCorrICPPointConfig DefaultConfiguration(double spacingMm);

// The 29 settings as a JSON object keyed by the labels of the configuration's text dump, in that
// order of declaration.
nlohmann::ordered_json ConfigurationToJson(const DataLayer::VelmTorCorrICPPointConfig& config);

// Overrides the settings that the JSON object names. Throws std::runtime_error, naming the key, for an
// unknown key, a value of the wrong kind (a fraction for an integer setting, a string, ...) or one
// outside the setting's range; the configuration is then unchanged.
void ApplyConfigurationJson(const nlohmann::json& overrides, DataLayer::VelmTorCorrICPPointConfig& config);

// The labels, in declaration order.
std::vector<std::string> ConfigurationLabels();
} // namespace VelmTool
