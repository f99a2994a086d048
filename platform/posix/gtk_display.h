#pragma once

namespace platform {

// True when GTK could be started on a display (decided once).
bool gtkAvailable();

}  // namespace platform
