// Reading the web service's JSON answers about this client.
#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

// The body with every quoted "false" (quotes included) replaced by null, on the raw text: the
// service marks values it does not have that way.
std::string nullQuotedFalse(std::string body);

// The named members of a JSON object, in the order asked for; an absent member is the empty text.
// Nothing when the body is not strict JSON, not an object, or a named member is not a string.
std::optional<std::vector<std::string>> readStringMembers(const std::string& body,
                                                          std::initializer_list<const char*> names);

// True when the text holds a control character: a line break or NUL would split or cut the line of
// an INI file and the registry value it is stored in, a Ctrl-Z ends a file for Windows' text-mode
// readers, and no setting or name has a use for the others.
bool breaksStoredLine(const std::string& text);
