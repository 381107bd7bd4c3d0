// The one set of link counters; see link_counters.h.
#include "device/link_counters.h"

namespace cableferry {

link_counters_t link_counters;

} // namespace cableferry
