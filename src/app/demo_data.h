#pragma once

#include <vector>

#include "gates/gate.h"
#include "report/snapshot.h"
#include "settings/clock.h"
#include "settings/config.h"

namespace quillon::app {

class Model;

// The fixed data set that pictures are drawn from with --demo: a busy week, a 30-day history,
// three sessions, three plan limits and, for the red picture, two open gates.
struct DemoData {
    Snapshot snap;
    std::vector<Gate> gates;
};

// Day keys are the local days of now - n x 86400 s. overBudget compares today with
// config.dailyBudget, as a real snapshot does.
DemoData demoData(Instant now, const Config& config, bool red);

// Replaces the model's report, gates and note with the demo set; Claude Code counts as connected,
// and month selects the 30-day view.
void applyDemo(Model& model, Instant now, bool month, bool red);

} // namespace quillon::app
