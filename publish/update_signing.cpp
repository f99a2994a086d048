#include "publish/update_signing.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <stdexcept>
#include <vector>

#include "core/ini_document.h"
#include "core/text.h"
#include "integrity/secret_key_file.h"
#include "patch/update_from_web.h"
#include "patch/update_signatures.h"
#include "patch/version_file.h"
#include "publish/check_report.h"
#include "publish/server_files.h"
#include "publish/server_folder.h"

namespace fs = std::filesystem;

namespace {

// What the launcher fetches and checks by signature in an update's folder, beside the archive.
const char* const signedDocuments[] = {"hashes.ini", "full.ini", "PrePatch.ini", "PostPatch.ini"};

std::string readPassword(const std::string& prompt) {
    if (const char* given = std::getenv("ORV_PUBLISH_PASSWORD")) return given;
    std::FILE* terminal = std::fopen("/dev/tty", "r+");
    if (!terminal) throw std::runtime_error("no terminal to ask for the password");
    std::fputs(prompt.c_str(), terminal);
    std::fflush(terminal);
    termios saved{};
    const bool hidden = tcgetattr(fileno(terminal), &saved) == 0;
    if (hidden) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(fileno(terminal), TCSAFLUSH, &quiet);
    }
    std::string password;
    for (int c; (c = std::fgetc(terminal)) != EOF && c != '\n';) password += static_cast<char>(c);
    if (hidden) tcsetattr(fileno(terminal), TCSAFLUSH, &saved);
    std::fputs("\n", terminal);
    std::fclose(terminal);
    return password;
}

std::string fileName(const fs::path& file) {
    return pathText(file.filename());
}

}  // namespace

void writeStrongHashes(const fs::path& folder) {
    const auto manifest = readWholeFile(folder / "hashes.ini");
    if (!manifest) throw std::runtime_error(pathText(folder / "hashes.ini") + " cannot be read");
    std::vector<std::pair<std::string, std::string>> hashes;
    for (const auto& [key, checksum] : IniDocument::parsePairs(*manifest)) {
        const auto hash = strongHashOfFile(pathText(folder / toPath(forwardSlashes(key))));
        if (!hash) throw std::runtime_error(pathText(folder) + ": " + key + " cannot be read");
        hashes.emplace_back(key, *hash);
    }
    replaceFile(folder / strongHashesName, manifestText(hashes));
}

void signBeside(const fs::path& file, const SecretKey& key) {
    MessageHash hash;
    if (!hashFileForSignature(pathText(file), hash))
        throw std::runtime_error(pathText(file) + " cannot be read");
    const auto now = static_cast<std::uint64_t>(std::time(nullptr));
    replaceFile(toPath(signatureUrl(pathText(file))),
                signHashed(key, hash.finish(), defaultTrustedComment(now, fileName(file))));
}

void signUpdateFolder(const fs::path& folder, const SecretKey& key) {
    std::vector<std::string> names(std::begin(signedDocuments), std::end(signedDocuments));
    names.insert(names.end(), {strongHashesName, "ORV.zip"});
    for (const std::string& name : names) {
        std::error_code error;
        if (fs::is_regular_file(folder / name, error)) signBeside(folder / name, key);
    }
}

int signRoot(const std::string& rootText, const SecretKey& key, std::ostream& out,
             std::ostream& err) {
    const fs::path root = toPath(rootText);
    const auto versionFile = readWholeFile(root / "version.ini");
    if (!versionFile) {
        err << "orv-publish: " << pathText(root / "version.ini") << " cannot be read\n";
        return 1;
    }
    int problems = 0;
    for (const UpdateEntry& update : readVersionFile(*versionFile).updates) {
        const fs::path folder = root / toPath(updateFolder(update.path).substr(1));
        std::error_code error;
        if (!fs::is_directory(folder, error)) {
            err << "orv-publish: " << update.version << ": " << pathText(folder) << " is missing\n";
            ++problems;
            continue;
        }
        if (update.type == "inc") writeStrongHashes(folder);
        signUpdateFolder(folder, key);
        out << "signed " << update.version << " (" << update.type << ") in " << pathText(folder)
            << "\n";
    }
    std::error_code error;
    if (fs::is_regular_file(root / "ORV-Setup.exe", error)) signBeside(root / "ORV-Setup.exe", key);
    // Last: a launcher that sees this signature finds the updates signed already.
    signBeside(root / "version.ini", key);
    out << "signed version.ini with key " << keyIdText(key.id) << "\n";
    return problems > 0 ? 1 : 0;
}

std::optional<SecretKey> loadSecretKey(const std::string& path, std::ostream& err) {
    const auto text = readWholeFile(toPath(path));
    if (!text) {
        err << "orv-publish: " << path << " cannot be read\n";
        return std::nullopt;
    }
    const std::string password =
        secretKeyIsProtected(*text) ? readPassword("Password for " + path + ": ") : "";
    std::string error;
    auto key = readSecretKey(*text, password, error);
    if (!key) err << "orv-publish: " << path << ": " << error << "\n";
    return key;
}

int makeKeyFiles(const std::string& secretPath, const std::string& publicPath, bool unprotected,
                 std::ostream& out, std::ostream& err) {
    std::error_code error;
    if (fs::exists(toPath(secretPath), error)) {
        err << "orv-publish: " << secretPath << " exists: a key is never overwritten\n";
        return 1;
    }
    std::optional<std::string> password;
    if (!unprotected) {
        password = readPassword("Password for the new secret key: ");
        if (!std::getenv("ORV_PUBLISH_PASSWORD") &&
            readPassword("The same password again: ") != *password) {
            err << "orv-publish: the passwords differ\n";
            return 1;
        }
        if (password->empty()) {
            err << "orv-publish: an empty password protects nothing: give one, or --unencrypted\n";
            return 1;
        }
    }
    const SecretKey key = makeSecretKey();
    replaceFile(toPath(secretPath), writeSecretKey(key, password));
    fs::permissions(toPath(secretPath), fs::perms::owner_read | fs::perms::owner_write, error);
    const std::string publicFile = writePublicKey(publicKeyOf(key));
    replaceFile(toPath(publicPath), publicFile);
    const auto line = publicFile.find('\n') + 1;
    out << "key " << keyIdText(key.id) << ": secret key in " << secretPath
        << (unprotected ? " (not protected by a password)" : "") << ", public key in " << publicPath
        << "\nbuild the launcher with -DORV_UPDATE_PUBLIC_KEY="
        << publicFile.substr(line, publicFile.find('\n', line) - line) << "\n";
    return 0;
}

namespace {

// The signature of a document of the server, as a launcher with `key` would find it.
void checkDocument(ServerFiles& server, const PublicKey& key, const std::string& path,
                   const std::string& body, CheckReport& report) {
    const ServedDocument signature = server.document(signatureUrl(path));
    const SignatureCheck check = signature.body ? checkSignature(key, body, *signature.body)
                                                : SignatureCheck{"no signature", {}};
    if (!check) report.error(path + ": signature refused: " + check.refusal);
}

// The same for a big file, read from a copy on this disk; nothing when the server has none.
void checkBigFile(ServerFiles& server, const PublicKey& key, const std::string& path,
                  CheckReport& report) {
    const auto copy = server.localCopy(path);
    if (!copy) return;
    const ServedDocument signature = server.document(signatureUrl(path));
    StreamCheck check(key, signature.body.value_or(""));
    std::ifstream in(toPath(*copy), std::ios::binary);
    std::vector<char> buffer(1 << 20);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        check.add(buffer.data(), static_cast<std::size_t>(in.gcount()));
    }
    const SignatureCheck result =
        signature.body ? check.finish() : SignatureCheck{"no signature", {}};
    if (!result) report.error(path + ": signature refused: " + result.refusal);
}

}  // namespace

void checkSignatures(ServerFiles& server, const PublicKey& key, CheckReport& report) {
    const int before = report.errors();
    const ServedDocument versionFile = server.document("/version.ini");
    if (!versionFile.body) return;
    checkDocument(server, key, "/version.ini", *versionFile.body, report);
    for (const UpdateEntry& update : readVersionFile(*versionFile.body).updates) {
        const std::string folder = updateFolder(update.path);
        for (const std::string name : signedDocuments) {
            const ServedDocument document = server.document(folder + "/" + name);
            if (document.body)
                checkDocument(server, key, folder + "/" + name, *document.body, report);
        }
        if (update.type == "full") checkBigFile(server, key, update.path, report);
        if (update.type != "inc") continue;
        const ServedDocument list = server.document(folder + "/" + strongHashesName);
        if (!list.body) {
            report.error(folder + "/" + strongHashesName +
                         ": missing: a launcher with the key "
                         "installs none of this update's files");
            continue;
        }
        checkDocument(server, key, folder + "/" + strongHashesName, *list.body, report);
        const auto hashes = IniDocument::parsePairs(*list.body);
        const ServedDocument manifest = server.document(update.path);
        for (const auto& [name, checksum] :
             IniDocument::parsePairs(manifest.body.value_or(std::string()))) {
            const auto found = hashes.find(name);
            const std::string path = folder + "/" + urlPath(forwardSlashes(name));
            if (found == hashes.end()) {
                report.error(path + ": not in " + strongHashesName + ": never installed");
                continue;
            }
            const auto copy = server.fileCopy(folder, name);
            if (copy && strongHashOfFile(*copy) != found->second)
                report.error(path + ": does not match its signed strong hash");
        }
    }
    checkBigFile(server, key, "/ORV-Setup.exe", report);
    if (report.errors() == before)
        report.line("signatures: every file the launcher checks is signed by key " +
                    keyIdText(key.id));
}
