#pragma once

// Sends the current page (500 lines) of the local manifest Hashes.ini to the report page as a
// JSON array; a page past the end starts over at the first.
void sendReportPage();
