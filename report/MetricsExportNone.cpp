// The metrics endpoint of a build without prometheus-cpp (Windows): there is
// none, so MORVALEN_METRICS_LISTEN refuses the start (metricsReadSettings).
#include "report/MetricsState.h"

int32_t metricsServe(const char*) noexcept { return kMetricsUnsupported; }
