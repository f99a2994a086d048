#include "patch/patch_script.h"

#include <filesystem>
#include <sstream>

#include "core/ini_document.h"
#include "core/install_path.h"
#include "core/log.h"
#include "core/text.h"
#include "net/fetch.h"
#include "patch/update_from_web.h"
#include "patch/update_signatures.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

const std::string deleteKeyword = "DELETE =";
const std::string runKeyword = "RUN =";

// The server writes its paths for Windows; elsewhere a backslash is a folder break as well.
std::string toLocalSeparators(std::string path) {
    if constexpr (platform::pathSeparator != '\\') {
        for (char& c : path)
            if (c == '\\') c = platform::pathSeparator;
    }
    return path;
}

// The trimmed text after the first occurrence of `keyword`.
std::string argumentOf(const std::string& line, std::size_t keywordAt, const std::string& keyword) {
    return IniDocument::trim(line.substr(keywordAt + keyword.size()));
}

// Deleting is only ever part of updating the installation: nothing outside it goes.
void deleteInInstallation(const fs::path& folder, const std::string& argument) {
    const InstallPath checked = checkInstallPath(argument);
    if (!checked || !staysInInstallation(pathText(folder), checked.relative)) {
        logLine("Refused to delete outside the installation: " + argument +
                (checked ? " (a link leads there)" : " (" + checked.refusal + ")"));
        return;
    }
    const std::u16string target =
        (folder / toPath(toLocalSeparators(checked.relative))).u16string();
    if (platform::deleteFile(target))
        logLine("Deleted: " + toNarrow(target));
    else
        logLine("Error deleting the file:" + toNarrow(target));
}

// The mod may start a program of its own, wherever it lies; the log names every one.
void runProgram(const fs::path& folder, const std::string& argument) {
    const std::u16string target = (folder / toPath(toLocalSeparators(argument))).u16string();
    logLine("Opening: " + toNarrow(target));
    platform::shellOpen(target);
}

std::string scriptUrl(const std::string& updateUrl, const std::string& name) {
    const auto slash = updateUrl.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : updateUrl.substr(0, slash);
    return folder + "/" + name;
}

}  // namespace

bool runPatchScript(bool isPre, const std::string& updateUrl) {
    const fs::path currentDirectory = fs::current_path();
    const std::string url = scriptUrl(updateUrl, isPre ? "PrePatch.ini" : "PostPatch.ini");
    const SignedDocument fetched = fetchSignedDocument(url);
    if (!fetched.body) {
        // The server refusing the request (404 and its kin) means the update has no such script;
        // a server error or no answer at all means it did not arrive, and the update is not done.
        if (fetched.status >= 400 && fetched.status < 500) return true;
        logLine("Update incomplete: its script could not be fetched from " + url);
        return false;
    }
    const std::string& body = *fetched.body;

    std::istringstream lines(body);
    for (std::string line; std::getline(lines, line);) {
        line = IniDocument::trim(line);
        if (const auto at = line.find(deleteKeyword); at != std::string::npos) {
            deleteInInstallation(currentDirectory, argumentOf(line, at, deleteKeyword));
        } else if (const auto at = line.find(runKeyword); at != std::string::npos) {
            runProgram(currentDirectory, argumentOf(line, at, runKeyword));
        }
    }
    return true;
}
