#include "core/quantize_options.h"

namespace quillon {

namespace {
QuantizeOptions g_defaultOptions;
QuantizeOptions* g_options = &g_defaultOptions;
} // namespace

QuantizeOptions& globalQuantizeOptions() { return *g_options; }

void setGlobalQuantizeOptions(QuantizeOptions* options) { g_options = options ? options : &g_defaultOptions; }

} // namespace quillon
