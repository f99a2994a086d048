#include "web/client_sync.h"

#include "core/background_task.h"
#include "core/log.h"
#include "game/account_sync.h"
#include "game/game_start.h"
#include "game/settings_sync.h"

namespace {
BackgroundTask clientSync;
BackgroundTask gameStart;
}  // namespace

bool startClientSync() {
    return clientSync.start([] {
        syncGameSettings();
        syncAccount();
    });
}

void startGameWhenSynced() {
    const bool started = gameStart.start([] {
        if (clientSync.running()) {
            logLine("The game starts once the settings and account sync has ended");
            clientSync.waitIdle();
        }
        startGame();
    });
    if (!started) logLine("The game is being started already");
}

void waitForClientWork() {
    gameStart.waitIdle();
    clientSync.waitIdle();
}
