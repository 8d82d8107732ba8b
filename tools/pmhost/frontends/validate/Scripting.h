// The scripting scenarios: what a module records for an action against the
// terminology it declares, and a played-back action.
#pragma once

#include "Scenarios.h"

CaseResult RunScriptRecord(const std::string& module, const PiplInfo& pipl, const Scenario& s, int index);
// s.param: the playInfo the host plays back with (1 show the dialog, 2 none).
CaseResult RunScriptPlayback(const std::string& module, const PiplInfo& pipl, const Scenario& s, int index);
