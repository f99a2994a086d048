// Messages between the launcher and the page shown in its browser.
#pragma once

#include <cstdint>
#include <string>

class HostWindow;

// The installation-report page to show next; advanced by "loadMore", wrapped by sendReportPage.
extern std::int32_t reportPage;

// {"action": "updateProgress", ...} with the two percentages and the current file line.
void postProgress(std::int32_t overallProgress, std::int32_t fileProgress,
                  const std::u16string& fileName);

// {"action": "updateText", ...} replacing the text of the page's element `elementId`.
void postText(const std::u16string& elementId, const std::u16string& newText);

// Carries out one of the page's command words; anything else is ignored.
void onWebMessage(HostWindow* window, const std::u16string& command);
