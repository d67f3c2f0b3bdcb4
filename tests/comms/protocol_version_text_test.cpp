#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "comms/protocol_version_text.h"

namespace {

struct VersionText {
  const char* text;
  std::optional<std::int32_t> version;
};

class ProtocolVersionText : public ::testing::TestWithParam<VersionText> {};

TEST_P(ProtocolVersionText, ReadsLikeTheStandardConversion) {
  EXPECT_EQ(feltwise_comm::protocolVersionFromText(GetParam().text), GetParam().version) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Texts, ProtocolVersionText,
                         ::testing::Values(VersionText{"0", 0}, VersionText{"4", 4}, VersionText{"3", 3},
                                           VersionText{" 3", 3}, VersionText{"\t\n3", 3}, VersionText{"+2", 2},
                                           VersionText{"-0", 0}, VersionText{"3_params.bin", 3}, VersionText{"0x10", 0},
                                           VersionText{"0004", 4}, VersionText{"50", std::nullopt},
                                           VersionText{"75", std::nullopt}, VersionText{"-1", std::nullopt},
                                           VersionText{"99999999999", std::nullopt},
                                           VersionText{"2147483648", std::nullopt},
                                           VersionText{"00000000000000000000001", 1}, VersionText{"", std::nullopt},
                                           VersionText{"params.bin", std::nullopt}, VersionText{" ", std::nullopt},
                                           VersionText{"- 1", std::nullopt}, VersionText{"+", std::nullopt}),
                         [](const ::testing::TestParamInfo<VersionText>& param_info) {
                           std::string name;
                           for (const char c : std::string(param_info.param.text))
                             name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                           return "t" + std::to_string(param_info.index) + "_" + name;
                         });

}  // namespace
