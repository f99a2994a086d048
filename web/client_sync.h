// The client page's settings and account sync, and the game start, off the UI thread: the web
// service may take its time, and the window must go on answering meanwhile.
#pragma once

// Syncs game settings, then account, on a thread of its own; one sync at a time: a load while one
// is still running starts no second. False when none was started.
bool startClientSync();

// Starts the game on a thread of its own once the running sync (if any) has ended, so the game
// gets the settings and account of the sync its page load started. One start at a time.
void startGameWhenSynced();

// Until no sync and no game start is running: for the test suites, which must not leave work
// behind that outlives them.
void waitForClientWork();
