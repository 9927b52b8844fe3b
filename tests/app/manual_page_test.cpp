// The manual page's source and the README against the program: every option
// key the program writes, every failure number of its own with its text, and
// every sole command are described, and nothing is described that the program
// no longer has.

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/TempDir.h"
#include "app/SoleCommands.h"
#include "config/Options.h"
#include "net/SocketErrors.h"

namespace pw {
namespace {

using ::testing::HasSubstr;

std::string ReadSource(const std::string& relative) {
    std::ifstream in(std::string(PW_SOURCE_DIR) + "/" + relative, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The key names of [ROptions] as a save writes them, in file order.
std::vector<std::string> KeysTheProgramWrites() {
    test::TempDir dir("pw-manual");
    const std::string ini = dir / "parcelwing.ini";
    EXPECT_TRUE(SaveOptions(ROptions{}, ini));
    std::ifstream in(ini);
    std::vector<std::string> keys;
    bool inOptions = false;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && line.front() == '[') {
            inOptions = line == "[ROptions]";
            continue;
        }
        if (inOptions && line.find('=') != std::string::npos) keys.push_back(line.substr(0, line.find('=')));
    }
    return keys;
}

// The program's own failure numbers: those with a text of their own.
std::vector<int> OwnFailureNumbers() {
    std::vector<int> numbers;
    for (int n = 12000; n < 12100; ++n)
        if (SocketErrorText(n) != SocketErrorText(-1)) numbers.push_back(n);
    return numbers;
}

// Every number of the 12000s the text names after `before` ("*" in the
// manual page's source, "| " in the README's table).
std::set<int> NumbersNamed(const std::string& text, const std::string& before) {
    std::set<int> named;
    const std::regex number(before + "(120[0-9][0-9])\\b");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), number); it != std::sregex_iterator(); ++it)
        named.insert(std::stoi((*it)[1].str()));
    return named;
}

TEST(ManualPage, DescribesEveryOptionKeyTheProgramWrites) {
    const std::string page = ReadSource("docs/parcelwing.1.scd");
    ASSERT_FALSE(page.empty());
    const std::vector<std::string> keys = KeysTheProgramWrites();
    ASSERT_GE(keys.size(), 30u);  // the file was written and read back
    for (const std::string& key : keys) EXPECT_THAT(page, HasSubstr("*" + key + "*")) << key;
}

TEST(ManualPage, AndReadmeListEveryFailureNumberOfTheProgramsOwnAndNoOther) {
    const std::string page = ReadSource("docs/parcelwing.1.scd");
    const std::string readme = ReadSource("README.md");
    const std::vector<int> numbers = OwnFailureNumbers();
    ASSERT_GE(numbers.size(), 10u);
    for (const int n : numbers) {
        SCOPED_TRACE(n);
        // In the manual page with the very text the program shows.
        EXPECT_THAT(page, HasSubstr("*" + std::to_string(n) + "* " + SocketErrorText(n) + "\n"));
        EXPECT_THAT(readme, HasSubstr("| " + std::to_string(n) + " |"));
    }
    const std::set<int> known(numbers.begin(), numbers.end());
    EXPECT_EQ(NumbersNamed(page, "\\*"), known);
    EXPECT_EQ(NumbersNamed(readme, "\\| "), known);
}

TEST(ManualPage, NamesEverySoleCommandInTheSynopsisAndItsOwnEntry) {
    const std::string page = ReadSource("docs/parcelwing.1.scd");
    const std::size_t synopsis = page.find("# SYNOPSIS");
    const std::size_t description = page.find("# DESCRIPTION");
    ASSERT_NE(synopsis, std::string::npos);
    ASSERT_NE(description, std::string::npos);
    const std::string synopsisText = page.substr(synopsis, description - synopsis);
    const std::string usage = UsageText(RPlaces{}, ROptions{}, false);
    for (const char* command : {"--help", "--version", "--set-password", "--set-user"}) {
        SCOPED_TRACE(command);
        EXPECT_NE(SoleCommandOf({command}), TSoleCommand::None);
        EXPECT_THAT(synopsisText, HasSubstr(std::string("*") + command + "*"));
        EXPECT_THAT(page, HasSubstr(std::string("\n*") + command + "*\n\t"));  // an entry of its own
        EXPECT_THAT(usage, HasSubstr(command));
    }
}

}  // namespace
}  // namespace pw
