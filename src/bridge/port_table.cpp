// The one port table; see port_table.h.
#include "bridge/port_table.h"

namespace cableferry {

port_table_t port_table;

} // namespace cableferry
