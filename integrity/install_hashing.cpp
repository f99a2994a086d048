#include "integrity/install_hashing.h"

#include "core/text.h"
#include "core/user_paths.h"
#include "integrity/exclusions.h"
#include "integrity/scan.h"
#include "platform/platform.h"

void hashInstallation() {
    hashExistingFiles(installationRoot, excludedCount, scanLock, ScanMode::Report);
    platform::shellOpen(toWide(hashesPath.get()));
    platform::messageBox("Installation Hashing complete", ">ORV< Launcher",
                         platform::MessageKind::Notice);
    platform::exitProcess(0);
}
