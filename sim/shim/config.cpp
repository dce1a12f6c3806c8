// What the launcher asked for, handed down in the environment: the faults
// on each node, the report's path, the clock step. Read on the first open
// of a node, never at load time.
#include "state.h"

#include <cstdio>
#include <cstdlib>

namespace sim {

namespace {

bool configured = false;
char report[4096];
int64_t clockStep = 0;

} // namespace

void configure()
{
    if (configured)
        return;
    configured = true;

    unsigned faults[board::kNodes] = {};
    const char *list = getenv("BOARDSIM_FAULTS");
    char error[160];
    if (list != nullptr && !board::parseFaults(list, faults, error, sizeof error))
        fprintf(stderr, "boardsim: BOARDSIM_FAULTS: %s\n", error); // set by hand, not by the launcher
    for (int i = 0; i < board::kNodes; i++)
        node(i).faults = faults[i];

    const char *path = getenv("BOARDSIM_REPORT");
    snprintf(report, sizeof report, "%s", path != nullptr ? path : "");
    const char *step = getenv("BOARDSIM_CLOCK_STEP_US");
    clockStep = step != nullptr ? strtoll(step, nullptr, 10) : 0;
}

const char *reportPath()
{
    return report;
}

int64_t clockStepUs()
{
    return clockStep;
}

} // namespace sim
