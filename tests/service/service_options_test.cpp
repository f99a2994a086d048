#include "service/service_options.h"

#include <gtest/gtest.h>

namespace {

TEST(ServiceOptions, DefaultsMatchTheLaunchersBuiltInAddresses) {
    const ParsedOptions parsed = parseServiceOptions({});
    EXPECT_EQ(parsed.error, "");
    EXPECT_FALSE(parsed.showHelp);
    EXPECT_EQ(parsed.options.bindAddress, "127.0.0.1");
    EXPECT_EQ(parsed.options.downloadPort, 47810);
    EXPECT_EQ(parsed.options.webPort, 47811);
    EXPECT_TRUE(std::filesystem::is_directory(parsed.options.pagesFolder / "patcher"));
    EXPECT_FALSE(parsed.options.storeFile.empty());
}

TEST(ServiceOptions, ReadsEveryOptionInBothSpellings) {
    const ParsedOptions parsed = parseServiceOptions(
        {"--download-dir", "/srv/dl", "--pages-dir=/srv/pages", "--store", "/var/orv.json",
         "--bind=0.0.0.0", "--download-port", "8080", "--web-port=0", "--game-server",
         "10.0.0.5", "--game-port", "2301"});
    ASSERT_EQ(parsed.error, "");
    EXPECT_EQ(parsed.options.downloadFolder, "/srv/dl");
    EXPECT_EQ(parsed.options.pagesFolder, "/srv/pages");
    EXPECT_EQ(parsed.options.storeFile, "/var/orv.json");
    EXPECT_EQ(parsed.options.bindAddress, "0.0.0.0");
    EXPECT_EQ(parsed.options.downloadPort, 8080);
    EXPECT_EQ(parsed.options.webPort, 0);
    EXPECT_EQ(parsed.options.gameServerAddress, "10.0.0.5");
    EXPECT_EQ(parsed.options.gamePort, 2301);
}

TEST(ServiceOptions, HelpAndMistakes) {
    EXPECT_TRUE(parseServiceOptions({"--help"}).showHelp);
    EXPECT_TRUE(parseServiceOptions({"-h"}).showHelp);
    EXPECT_NE(serviceUsage().find("--download-dir"), std::string::npos);

    struct Mistake {
        std::vector<std::string> arguments;
        const char* error;
    };
    const Mistake mistakes[] = {
        {{"--web-port", "70000"}, "--web-port needs a port number from 0 to 65535"},
        {{"--web-port", "80x"}, "--web-port needs a port number from 0 to 65535"},
        {{"--web-port", "-1"}, "--web-port needs a port number from 0 to 65535"},
        {{"--download-port"}, "--download-port needs a port number from 0 to 65535"},
        {{"--store"}, "--store needs a value"},
        {{"--store", "--web-port", "1"}, "--store needs a value"},
        {{"--download-dir="}, "--download-dir needs a value"},
        {{"--verbose"}, "unknown option --verbose"},
        {{"--web-port", "5000", "--download-port", "5000"},
         "the download server and the web service need different ports"},
    };
    for (const auto& mistake : mistakes) {
        SCOPED_TRACE(mistake.arguments.front());
        EXPECT_EQ(parseServiceOptions(mistake.arguments).error, mistake.error);
    }
}

}  // namespace
