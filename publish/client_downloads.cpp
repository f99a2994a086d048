#include "publish/client_downloads.h"

namespace {

struct Installation {
    std::map<std::string, std::string> files;  // path key -> checksum
    std::string archive;                       // checksum of the kept ORV.zip
};

// Applies one update to the installation; the bytes it downloads.
std::uint64_t apply(const UpdateFacts& update, Installation& installation) {
    std::uint64_t bytes = 0;
    if (update.entry.type == "full") {
        if (installation.archive != update.archiveChecksum) bytes += update.archiveSize;
        installation.archive = update.archiveChecksum;
    }
    for (const auto& [key, checksum] : update.files) {
        std::string& installed = installation.files[key];
        if (installed == checksum) continue;
        if (update.entry.type == "inc") {
            const auto size = update.sizes.find(key);
            if (size != update.sizes.end()) bytes += size->second;
        }
        installed = checksum;
    }
    for (const std::string& key : update.deletes) installation.files.erase(key);
    return bytes;
}

}  // namespace

ClientRun simulateClient(const std::string& client, const std::string& current,
                         const std::vector<UpdateFacts>& chain) {
    ClientRun run;
    if (client == current) {
        run.upToDate = true;
        return run;
    }
    Installation installation;
    if (!client.empty()) {
        for (const UpdateFacts& update : chain)
            if (!versionLess(client, update.entry.version)) apply(update, installation);
    }
    run.reset = versionLess(current, client);
    for (const UpdateFacts& update : chain) {
        if (versionLess(current, update.entry.version)) continue;
        run.applied.push_back(update.entry.version + " " + update.entry.type);
        run.bytes += apply(update, installation);
    }
    return run;
}
