// SPDX-License-Identifier: Apache-2.0
// The words the bash completion offers and the firmware table of the manual
// page, checked against the tool's own name catalogue: a name offered or
// documented must be one the tool accepts, with the partition number the
// manual says, and every partition the tool can name must be offered.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "rfc.h"
#include "test_support.h"

namespace {

using test_support::file_text;

// The words of a shell assignment NAME='word word ...' in the completion.
std::vector<std::string> shell_words(const std::string &script, const std::string &name) {
    // Plain string search: <regex> trips gcc 12's -Wmaybe-uninitialized in sanitizer builds.
    const std::string head = name + "='";
    size_t at = script.rfind(head, 0) == 0 ? 0 : script.find("\n" + head);
    if (at == std::string::npos) return {};
    size_t begin = script.find(head, at) + head.size();
    size_t end = script.find('\'', begin);
    if (end == std::string::npos) return {};
    std::istringstream words(script.substr(begin, end - begin));
    std::vector<std::string> out;
    for (std::string w; words >> w;)
        out.push_back(w);
    return out;
}

class CompletionWords : public ::testing::Test {
  protected:
    void SetUp() override {
        script_ = file_text(FU_COMPLETION_FILE);
        ASSERT_FALSE(script_.empty()) << FU_COMPLETION_FILE;
    }
    std::string script_;
};

TEST_F(CompletionWords, EveryFirmwareNameIsAcceptedAndEveryPartitionOffered) {
    std::vector<std::string> names = shell_words(script_, "_flash_update_firmware_names");
    ASSERT_FALSE(names.empty());
    std::set<uint32_t> offered;
    for (const std::string &name : names) {
        flash_partition_e p = rfc_partition_from_name(name.c_str());
        EXPECT_NE(p, FLASH_PARTITION_ALL) << name << " is not a name the tool accepts";
        EXPECT_TRUE(offered.insert(p).second) << name << " names partition " << p << " twice";
    }
    // Every partition a name can select: 0 to 25, no name gives 22.
    std::set<uint32_t> all;
    for (uint32_t p = 0; p <= 25; ++p)
        if (p != FLASH_PARTITION_UNKNOWN) all.insert(p);
    EXPECT_EQ(offered, all);
}

TEST_F(CompletionWords, SecureFirmwareNamesAreFirmwareNames) {
    std::vector<std::string> secure = shell_words(script_, "_flash_update_secure_firmware_names");
    std::vector<std::string> names = shell_words(script_, "_flash_update_firmware_names");
    ASSERT_EQ(secure.size(), 7u);
    std::set<std::string> known(names.begin(), names.end());
    for (const std::string &name : secure) {
        EXPECT_NE(rfc_partition_from_name(name.c_str()), FLASH_PARTITION_ALL) << name;
        EXPECT_TRUE(known.count(name)) << name;
    }
}

TEST_F(CompletionWords, ComponentWordsAreSecureComponents) {
    // The words offered after --secure-info and --secure-image-update.
    for (const char *list : {"'bastion bl1 bl31 lcs'", "'bastion bl1 lcs'"}) {
        ASSERT_NE(script_.find(std::string("compgen -W ") + list), std::string::npos) << list;
        std::istringstream words(std::string(list + 1, std::char_traits<char>::length(list) - 2));
        for (std::string w; words >> w;)
            EXPECT_NE(rfc_secure_type_from_name(w.c_str()), SECURE_IMAGE_NONE) << w;
    }
}

// The manual's firmware table: ".B name" followed by "N, description".
std::map<std::string, int> manual_firmware_table(const std::string &page) {
    std::map<std::string, int> table;
    size_t begin = page.find("\n.SH FIRMWARE NAMES");
    size_t end = page.find("\n.SH ", begin + 1);
    std::istringstream lines(page.substr(begin, end - begin));
    std::string line, name;
    for (; std::getline(lines, line);) {
        size_t digits = line.find_first_not_of("0123456789");
        if (!name.empty() && digits > 0 && digits != std::string::npos && line.compare(digits, 2, ", ") == 0)
            table[name] = std::stoi(line.substr(0, digits));
        name.clear();
        if (line.rfind(".B ", 0) == 0) {
            name = line.substr(3);
            for (size_t at; (at = name.find("\\-")) != std::string::npos;)
                name.replace(at, 2, "-");
        }
    }
    return table;
}

TEST(ManualPage, FirmwareTableMatchesTheCatalogue) {
    std::string page = file_text(FU_MANUAL_PAGE);
    ASSERT_FALSE(page.empty()) << FU_MANUAL_PAGE;
    std::map<std::string, int> table = manual_firmware_table(page);
    std::vector<std::string> offered = shell_words(file_text(FU_COMPLETION_FILE), "_flash_update_firmware_names");
    EXPECT_EQ(table.size(), offered.size());
    for (const auto &[name, number] : table)
        EXPECT_EQ(static_cast<int>(rfc_partition_from_name(name.c_str())), number) << name;
    for (const std::string &name : offered)
        EXPECT_TRUE(table.count(name)) << name << " missing from the manual";
}

}  // namespace
