// The one settings record; see settings.h.
#include "control/settings.h"

namespace cableferry {

bridge_settings_t bridge_settings;

} // namespace cableferry
