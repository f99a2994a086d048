// The install-hashing mode (`-h`): scan the installation, show the manifest, end the process.
#pragma once

// Scans the working folder, opens Hashes.ini with the desktop's handler, shows
// "Installation Hashing complete" and ends the process with status 0.
[[noreturn]] void hashInstallation();
