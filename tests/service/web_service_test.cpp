// The local service's web side, its client store and its command line.
#include "service/web_service.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <regex>
#include <set>

#include "service/account_signature.h"
#include "service/client_store.h"
#include "service/service_options.h"
#include "tests/service/running_service.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

std::string action(const std::string& name, const std::string& token = "cafe01") {
    return "/launcher_client/index.php?a=" + name + "&token=" + token;
}

json getJson(httplib::Client& client, const std::string& path, int status = 200) {
    const auto answer = client.Get(path);
    if (!answer) throw std::runtime_error("no answer for " + path);
    EXPECT_EQ(answer->status, status) << path;
    EXPECT_EQ(answer->get_header_value("Content-Type"), "application/json") << path;
    // The launcher turns a quoted "false" into null and then rejects the whole answer.
    EXPECT_EQ(answer->body.find("\"false\""), std::string::npos) << path;
    return json::parse(answer->body);
}

// Players may be offline or behind a firewall, and page text must never become markup.
TEST(Pages, LoadNothingFromOutsideAndNeverTurnTextIntoMarkup) {
    const std::regex external(R"((src|href|url)\s*[=(]\s*["']?\s*(https?:)?//)", std::regex::icase);
    int files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(ORV_TEST_PAGES_DIR)) {
        if (!entry.is_regular_file()) continue;
        ++files;
        const std::string text = readFile(entry.path());
        EXPECT_FALSE(std::regex_search(text, external)) << entry.path();
        for (const char* sink :
             {"@import", "innerHTML", "outerHTML", "insertAdjacentHTML", "document.write", "eval("})
            EXPECT_EQ(text.find(sink), std::string::npos) << sink << " in " << entry.path();
    }
    EXPECT_GE(files, 5);
}

TEST(WebService, FirstVisitSetsTheCookieThenServesThePagesWithAllTheyReference) {
    RunningService service;
    auto client = service.web();
    // A token goes into a header and the store: nothing may be injected through it.
    const std::tuple<const char*, int, const char*> landings[] = {
        {"/launcher_client/index.php?token=a%3Bb", 400, ""},
        {"/launcher_client/index.php?token=%0d%0aX:1", 400, ""},
        {"/", 302, "/patcher/"},
        {"/patcher", 302, "/patcher/"},
        {"/launcher_client/index.php?token=1a2b3c4d", 302, "/launcher_client/index.php"}};
    for (const auto& [path, status, location] : landings) {
        const auto answer = client.Get(path);
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->status, status) << path;
        EXPECT_EQ(answer->get_header_value("Location"), location) << path;
        EXPECT_EQ(answer->has_header("Set-Cookie"), std::string(location).ends_with(".php"));
    }
    const std::string setCookie =
        client.Get("/launcher_client/index.php?token=1a2b3c4d")->get_header_value("Set-Cookie");
    EXPECT_EQ(setCookie.rfind("orv_client=1a2b3c4d;", 0), 0u) << setCookie;
    EXPECT_NE(setCookie.find("HttpOnly"), std::string::npos);
    const httplib::Headers cookie = {{"Cookie", setCookie.substr(0, setCookie.find(';'))}};
    const std::regex reference(R"((?:src|href)="(/[^"#?]*))");
    std::set<std::string> checked;
    for (const auto& [page, mark] : {std::pair{"/patcher/", "<p id=\"ut2\">"},
                                     {"/patcher/report.html", "data-command=\"loadMore\""},
                                     {"/launcher_client/index.php", "StartAstrovance"}}) {
        const auto answer = client.Get(page, cookie);
        ASSERT_TRUE(answer && answer->status == 200) << page;
        EXPECT_EQ(answer->get_header_value("Content-Type"), "text/html; charset=utf-8");
        EXPECT_EQ(answer->get_header_value("Cache-Control"), "no-store");
        EXPECT_NE(answer->body.find(mark), std::string::npos) << page;
        for (std::sregex_iterator match(answer->body.begin(), answer->body.end(), reference), end;
             match != end; ++match)
            if (checked.insert((*match)[1]).second) {
                EXPECT_EQ(client.Get((*match)[1], cookie)->status, 200) << (*match)[1];
            }
    }
    EXPECT_GE(checked.size(), 7u);  // the stylesheet, the bridge, three scripts, the mark, a page
    for (const char* path : {"/patcher/missing.html", "/launcher_client/", "/assets/../service.cpp",
                             "/assets/%2e%2e/patcher/index.html"}) {
        const int status = client.Get(path)->status;
        EXPECT_TRUE(status == 404 || status == 403) << path;
    }
    EXPECT_EQ(cookieValue("theme=dark; orv_client=abc; x=1", "orv_client"), "abc");
    EXPECT_EQ(cookieValue("xorv_client=abc", "orv_client"), "");
}

TEST(WebService, AnswersTheLaunchersRequestsAndKeepsWhatItSavesAcrossARestart) {
    RunningService service;
    auto client = service.web();
    ASSERT_EQ(client.Get("/launcher_client/index.php?token=cafe01")->status, 302);
    const json account = getJson(client, action("getaccount"));
    const std::string name = account.value("MPAccountName", "");
    EXPECT_TRUE(std::regex_match(name, std::regex("Pilot-[0-9A-F]{6}"))) << name;
    const json store = json::parse(readFile(service.options.storeFile));
    EXPECT_EQ(account, json({{"MPAccountName", name},
                             {"MPAccountNameSig", signAccountName(store["secret"], name)}}));
    client.Get("/launcher_client/index.php?token=cafe02");
    EXPECT_NE(getJson(client, action("getaccount", "cafe02"))["MPAccountName"], name);

    const json unknown = {{"error", "Unknown client token."}};
    EXPECT_EQ(getJson(client, action("getgamesettings", "nobody")), unknown);
    EXPECT_EQ(
        json::parse(client.Post(action("savesettings", "nobody"), "{}", "application/json")->body),
        unknown);
    // The launcher saves this answer as the game's server list unread: never an error text.
    const auto list = client.Get(action("getlanserver", "nobody"));
    EXPECT_EQ(list->get_header_value("Content-Type"), "text/plain; charset=utf-8");
    EXPECT_EQ(list->body.rfind("[Server0]\r\nName=ORV Server\r\nAddress=" +
                                   service.options.gameServerAddress + "\r\nPort=",
                               0),
              0u);
    for (const char* path : {"/launcher_client/index.php?a=deleteall&token=cafe01",
                             "/launcher_client/index.php?a=savesettings&token=cafe01",
                             "/launcher_client/index.php?foo=bar"})
        EXPECT_TRUE(getJson(client, path, 400).contains("error"));

    const std::tuple<int, std::string, const char*> rejected[] = {
        {400, "not json", "application/json"},
        {400, "[1, 2]", "application/json"},
        {400, R"({"windowmode": "false"})", "application/json"},
        // A valid member before an invalid one must not be applied either.
        {400, R"({"autoconnect": true, "windowmode": 1})", "application/json"},
        {415, R"({"autoconnect": true})", "text/plain"},  // forms of other sites can post this
        {413, "{\"x\": \"" + std::string(5000, 'x') + "\"}", "application/json"},
    };
    for (const auto& [status, body, type] : rejected) {
        const auto answer = client.Post(action("savesettings"), body, type);
        EXPECT_EQ(answer->status, status) << body.substr(0, 40);
        EXPECT_TRUE(json::parse(answer->body).contains("error"));
    }
    json expected = {{"windowmode", "true"},
                     {"autoconnect", "off"},
                     {"update_lanlist", "true"},
                     {"use4gbvram", "off"},
                     {"runinbackground", "off"}};
    EXPECT_EQ(getJson(client, action("getgamesettings")), expected);
    const auto saved =
        client.Post(action("savesettings"), R"({"autoconnect": true, "windowmode": "off"})",
                    "application/json");
    expected.update({{"autoconnect", "true"}, {"windowmode", "off"}});
    EXPECT_EQ(json::parse(saved->body), expected);
    // The page itself identifies the launcher by its cookie alone.
    client.Post("/launcher_client/index.php?a=savesettings", {{"Cookie", "orv_client=cafe01"}},
                R"({"runinbackground": true, "autoconnect": false})", "application/json");
    expected.update({{"runinbackground", "true"}, {"autoconnect", "off"}});
    service.stop();
    service.start();
    auto again = service.web();
    EXPECT_EQ(getJson(again, action("getgamesettings")), expected);
    EXPECT_EQ(getJson(again, action("getaccount")), account);
}

// httplib's default SO_REUSEPORT would let a second service share the ports of a running one.
TEST(ServiceStart, RefusesBusyPortsAndMissingFoldersLogsNoTokenAndStopClosesBothPorts) {
    RunningService service;
    TempDir folder;
    const int downloadPort = service.service->downloadPort(), webPort = service.service->webPort();
    const auto problem = [&](auto change) {
        ServiceOptions options = testOptions(folder);
        change(options);
        return Service(options, nullptr).start();
    };
    const std::string at = " cannot listen on 127.0.0.1:", inUse = ": the port is already in use";
    const fs::path none = folder.path() / "none";
    EXPECT_EQ(problem([&](ServiceOptions& o) { o.downloadPort = downloadPort; }),
              "the download server" + at + std::to_string(downloadPort) + inUse);
    EXPECT_EQ(problem([&](ServiceOptions& o) { o.webPort = webPort; }),
              "the web service" + at + std::to_string(webPort) + inUse);
    EXPECT_EQ(problem([&](ServiceOptions& o) { o.downloadFolder = none; }),
              "the download folder " + none.string() + " does not exist");
    EXPECT_EQ(problem([&](ServiceOptions& o) { o.pagesFolder = none; }),
              "the pages folder " + none.string() + " does not exist");

    auto web = service.web(), download = service.download();
    web.Get("/launcher_client/index.php?token=f00dfeed");
    getJson(web, action("getaccount", "f00dfeed"));
    ASSERT_TRUE(web.Get("/nowhere") && download.Get("/missing.ini"));
    service.stop();
    // A line is written once its answer is out, and connections may end in any order.
    std::sort(service.lines.begin(), service.lines.end());
    EXPECT_EQ(service.lines,
              (std::vector<std::string>{
                  "download GET /missing.ini 404",
                  "web GET /launcher_client/index.php?a=getaccount&token=*** 200",
                  "web GET /launcher_client/index.php?token=*** 302", "web GET /nowhere 404"}));
    web.set_connection_timeout(1);
    download.set_connection_timeout(1);
    EXPECT_FALSE(web.Get("/patcher/"));
    EXPECT_FALSE(download.Get("/version.ini"));
}

TEST(ClientStore, PrivateFileWithAKeptSecretReplacedWholeOrNotAtAllAndADamagedOneLeftAlone) {
    // RFC 4231, test case 2.
    EXPECT_EQ(signAccountName("Jefe", "what do ya want for nothing?"),
              "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
    TempDir dir;
    const fs::path file = dir.path() / "state" / "clients.json";
    ClientStore store, reopened;
    ASSERT_EQ(store.open(file), "");
    EXPECT_EQ(json::parse(readFile(file))["secret"].get<std::string>().size(), 64u);
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);  // it holds the signing secret
    ASSERT_EQ(reopened.open(file), "");
    EXPECT_EQ(reopened.signature("Pilot-ABCDEF"), store.signature("Pilot-ABCDEF"));

    EXPECT_FALSE(store.saveSettings("nobody", GameSettings{}));
    EXPECT_TRUE(isValidToken("Token_with-dots.1") && isValidToken(std::string(64, 'a')));
    for (const std::string& token :
         std::vector<std::string>{"", "a;b", "a\r\nb", "a b", std::string(65, 'a')}) {
        EXPECT_FALSE(isValidToken(token)) << token;
        EXPECT_FALSE(store.registerClient(token)) << token;
    }
    ASSERT_TRUE(store.registerClient("abc"));
    std::string before = readFile(file);
    // An in-place rewrite would change what a second name of the old file shows.
    fs::create_hard_link(file, dir.path() / "old.json");
    GameSettings settings;
    settings.autoConnect = true;
    ASSERT_TRUE(store.saveSettings("abc", settings));
    EXPECT_EQ(readFile(dir.path() / "old.json"), before);
    EXPECT_NE(readFile(file), before);
    EXPECT_EQ(filesBelow(file.parent_path()).size(), 1u) << "no temporary file left behind";
    before = readFile(file);
    // A folder where the temporary file would go makes the write fail, even for root.
    fs::create_directory(file.string() + ".tmp-" + std::to_string(::getpid()));
    settings.runInBackground = true;
    EXPECT_FALSE(store.saveSettings("abc", settings));
    EXPECT_FALSE(store.find("abc")->settings.runInBackground);
    EXPECT_FALSE(store.registerClient("def") || store.find("def"));
    EXPECT_EQ(readFile(file), before);

    for (const std::string content :
         {"{\"secret\": \"abc\", \"clients\": {", "[]", "{\"clients\": {}}"}) {
        writeFile(file, content);
        EXPECT_NE(ClientStore().open(file).find("damaged"), std::string::npos) << content;
        EXPECT_EQ(readFile(file), content);
    }
}

TEST(ServiceOptions, EveryOptionReadsInBothSpellingsAndAMistakeIsNamed) {
    const ServiceOptions defaults = parseServiceOptions({}).options;
    EXPECT_EQ(std::tie(defaults.bindAddress, defaults.downloadPort, defaults.webPort),
              std::make_tuple("127.0.0.1", 47810, 47811));
    EXPECT_TRUE(fs::is_directory(defaults.pagesFolder / "patcher"));
    const ParsedOptions parsed = parseServiceOptions(
        {"--download-dir", "/srv/dl", "--pages-dir=/srv/pages", "--store", "/var/orv.json",
         "--bind=0.0.0.0", "--download-port", "8080", "--web-port=0", "--game-server", "10.0.0.5",
         "--game-port", "2301", "--rate-limit=64"});
    const ServiceOptions& o = parsed.options;
    EXPECT_EQ(std::tie(parsed.error, o.downloadFolder, o.pagesFolder, o.storeFile, o.bindAddress,
                       o.gameServerAddress),
              std::make_tuple("", "/srv/dl", "/srv/pages", "/var/orv.json", "0.0.0.0", "10.0.0.5"));
    EXPECT_EQ(std::tie(o.downloadPort, o.webPort, o.gamePort, o.rateLimitKiB),
              std::make_tuple(8080, 0, 2301, 64u));
    EXPECT_TRUE(parseServiceOptions({"-h"}).showHelp && !parsed.showHelp);
    const std::string port = " needs a port number from 0 to 65535";
    const std::pair<std::vector<std::string>, std::string> mistakes[] = {
        {{"--web-port", "70000"}, "--web-port" + port},
        {{"--web-port", "80x"}, "--web-port" + port},
        {{"--web-port", "-1"}, "--web-port" + port},
        {{"--download-port"}, "--download-port" + port},
        {{"--rate-limit", "0"}, "--rate-limit needs a speed in KiB/s from 1 to 65535"},
        {{"--store", "--web-port", "1"}, "--store needs a value"},
        {{"--download-dir="}, "--download-dir needs a value"},
        {{"--verbose"}, "unknown option --verbose"},
        {{"--web-port", "5000", "--download-port", "5000"},
         "the download server and the web service need different ports"},
    };
    for (const auto& [arguments, error] : mistakes)
        EXPECT_EQ(parseServiceOptions(arguments).error, error) << arguments[0];
}

}  // namespace
