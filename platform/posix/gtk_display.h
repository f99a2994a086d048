#pragma once

#include <gtk/gtk.h>

namespace platform {

// True when GTK could be started on a display (decided once by each module that asks).
inline bool gtkAvailable() {
    static const bool available = gtk_init_check(nullptr, nullptr);
    return available;
}

}  // namespace platform
