#include "service/service_options.h"

#include <gtest/gtest.h>

namespace {

TEST(ServiceOptions, DefaultsMatchTheLaunchersAddressesAndEveryOptionReadsInBothSpellings) {
    ParsedOptions parsed = parseServiceOptions({});
    EXPECT_EQ(parsed.error, "");
    EXPECT_EQ(parsed.options.bindAddress, "127.0.0.1");
    EXPECT_EQ(parsed.options.downloadPort, 47810);
    EXPECT_EQ(parsed.options.webPort, 47811);
    EXPECT_TRUE(std::filesystem::is_directory(parsed.options.pagesFolder / "patcher"));

    parsed = parseServiceOptions(
        {"--download-dir", "/srv/dl", "--pages-dir=/srv/pages", "--store", "/var/orv.json", "--bind=0.0.0.0",
         "--download-port", "8080", "--web-port=0", "--game-server", "10.0.0.5", "--game-port", "2301",
         "--rate-limit=64"});
    ASSERT_EQ(parsed.error, "");
    EXPECT_FALSE(parsed.showHelp);
    EXPECT_EQ(parsed.options.downloadFolder, "/srv/dl");
    EXPECT_EQ(parsed.options.pagesFolder, "/srv/pages");
    EXPECT_EQ(parsed.options.storeFile, "/var/orv.json");
    EXPECT_EQ(parsed.options.bindAddress, "0.0.0.0");
    EXPECT_EQ(parsed.options.downloadPort, 8080);
    EXPECT_EQ(parsed.options.webPort, 0);
    EXPECT_EQ(parsed.options.gameServerAddress, "10.0.0.5");
    EXPECT_EQ(parsed.options.gamePort, 2301);
    EXPECT_EQ(parsed.options.rateLimitKiB, 64u);
    EXPECT_TRUE(parseServiceOptions({"-h"}).showHelp);
}

TEST(ServiceOptions, NamesTheMistake) {
    const std::pair<std::vector<std::string>, const char*> mistakes[] = {
        {{"--web-port", "70000"}, "--web-port needs a port number from 0 to 65535"},
        {{"--web-port", "80x"}, "--web-port needs a port number from 0 to 65535"},
        {{"--web-port", "-1"}, "--web-port needs a port number from 0 to 65535"},
        {{"--download-port"}, "--download-port needs a port number from 0 to 65535"},
        {{"--rate-limit", "0"}, "--rate-limit needs a speed in KiB/s from 1 to 65535"},
        {{"--store", "--web-port", "1"}, "--store needs a value"},
        {{"--download-dir="}, "--download-dir needs a value"},
        {{"--verbose"}, "unknown option --verbose"},
        {{"--web-port", "5000", "--download-port", "5000"}, "the download server and the web service need different ports"},
    };
    for (const auto& [arguments, error] : mistakes) EXPECT_EQ(parseServiceOptions(arguments).error, error) << arguments[0];
}

}  // namespace
