// The request lines the host writes and the read replies it decodes.
#include <gtest/gtest.h>

#include <string>

#include "protocols/text_register_lines.h"

namespace {

using namespace feltwise_comm;
namespace status = text_register_status;
using Bytes = std::vector<std::uint8_t>;

TEST(RegisterRequests, ReadRequestIsDecimalWithoutPadding) {
  EXPECT_EQ(formatReadRequest(32, 1), "r32,1,0\n");
  EXPECT_EQ(formatReadRequest(0, 0), "r0,0,0\n");
  EXPECT_EQ(formatReadRequest(65535, 65535), "r65535,65535,0\n");
}

TEST(RegisterRequests, WriteRequestHasTwoUpperCaseDigitsPerByte) {
  EXPECT_EQ(formatWriteRequest(32, 1, {0x0A, 0xFF}), "w32,1,2,0AFF\n");
  EXPECT_EQ(formatWriteRequest(32, 1, {}), "w32,1,0,\n");
  EXPECT_EQ(formatWriteRequest(7, 65535, {0x00, 0x01, 0xA0}), "w7,65535,3,0001A0\n");
}

TEST(RegisterRequests, WriteRequestCarriesEveryByteValue) {
  Bytes data;
  std::string hex;
  const char* digits = "0123456789ABCDEF";
  for (int b = 0; b < 256; ++b) {
    data.push_back(static_cast<std::uint8_t>(b));
    hex += digits[b / 16];
    hex += digits[b % 16];
  }
  EXPECT_EQ(formatWriteRequest(1, 2, data), "w1,2,256," + hex + "\n");
}

struct ReplyCase {
  const char* name;
  std::string line;
  std::uint16_t status;
  Bytes bytes;
};

class ReadReplies : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(ReadReplies, DecodeToDataOrAStatus) {
  Bytes bytes{0x55, 0x66};
  EXPECT_EQ(decodeReadReply(GetParam().line, bytes), GetParam().status);
  if (GetParam().status == status::kOk) {
    EXPECT_EQ(bytes, GetParam().bytes);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadReplies,
    ::testing::Values(ReplyCase{"TwoBytes", "R32,1,2,0aff\n", status::kOk, {0x0A, 0xFF}},
                      ReplyCase{"UpperCaseDigits", "R32,1,2,0AFF\n", status::kOk, {0x0A, 0xFF}},
                      ReplyCase{"LowerCaseR", "r32,1,2,0aff\n", status::kOk, {0x0A, 0xFF}},
                      ReplyCase{"NoBytes", "R32,1,0,\n", status::kOk, {}},
                      ReplyCase{"AddressAndIdAreNotChecked", "R-5,99999,1,7f\n", status::kOk, {0x7F}},
                      ReplyCase{"NumbersWithSpacesAndSigns", "R 32, +1, 2,1234\n", status::kOk, {0x12, 0x34}},
                      ReplyCase{"TextAfterTheCountIsIgnored", "R32,1,1abc,01\n", status::kOk, {0x01}},
                      ReplyCase{"CountTakesTheLow16Bits", "R32,1,65537,ab\n", status::kOk, {0xAB}},
                      ReplyCase{"NegativeCountWrapsAndMisses", "R32,1,-1,ab\n", status::kWrongDataLength, {}},
                      ReplyCase{"AGroupThatIsNoNumberGivesZero", "R32,1,2,zz01\n", status::kOk, {0x00, 0x01}},
                      ReplyCase{"WhiteSpaceSplitsGroups", "R32,1,2,a b1\n", status::kOk, {0x0A, 0xB1}},
                      ReplyCase{"ThreeFields", "R32,1,2\n", status::kWrongFieldCount, {}},
                      ReplyCase{"FiveFields", "R32,1,2,0aff,1\n", status::kWrongFieldCount, {}},
                      ReplyCase{"TrailingCommaBeforeLineFeed", "R32,1,2,0aff,\n", status::kWrongFieldCount, {}},
                      ReplyCase{"EmptyFieldEndsTheList", "R32,,2,0aff\n", status::kWrongFieldCount, {}},
                      ReplyCase{"OwnReadRequestEchoed", "r32,1,0\n", status::kWrongFieldCount, {}},
                      ReplyCase{"NothingAfterTheR", "R", status::kWrongFieldCount, {}},
                      ReplyCase{"AddressNotANumber", "Rx,1,1,00\n", status::kUnreadable, {}},
                      ReplyCase{"IdNotANumber", "R32,x,1,00\n", status::kUnreadable, {}},
                      ReplyCase{"CountNotANumber", "R32,1,y,00\n", status::kUnreadable, {}},
                      ReplyCase{"AddressOutOfRange", "R99999999999999999999999,1,1,00\n", status::kUnreadable, {}},
                      ReplyCase{"MoreDigitsThanTheCount", "R32,1,1,0aff\n", status::kWrongDataLength, {}},
                      ReplyCase{"FewerDigitsThanTheCount", "R32,1,3,0aff\n", status::kWrongDataLength, {}},
                      ReplyCase{"NoLineFeed", "R32,1,2,0aff", status::kWrongDataLength, {}},
                      ReplyCase{
                          "CarriageReturnIsOneCharacterTooMany", "R32,1,2,0aff\r\n", status::kWrongDataLength, {}}),
    [](const ::testing::TestParamInfo<ReplyCase>& param_info) { return param_info.param.name; });

}  // namespace
