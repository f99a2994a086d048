#pragma once

// Offers the download server's newer launcher; on yes, downloads and starts its setup and ends
// the process. Returns when the launcher is to go on.
void checkLauncherUpdate();
