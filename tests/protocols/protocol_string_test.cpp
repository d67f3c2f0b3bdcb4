// Version-0 text lines: the field rules of parseLine, then whole lines played
// on a pseudo-terminal and read by ProtocolString.
#include <gtest/gtest.h>

#include <chrono>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>

#include "protocols/protocol_string.h"
#include "support/pty_pair.h"

namespace {

using feltwise_comm::PortHolder;
using feltwise_comm::ProtocolString;
using feltwise_test::PtyPair;
using Values = std::vector<double>;

struct LineCase {
  const char* name;
  std::string text;
  bool accepted;
  Values sample;
};

class ParseLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(ParseLine, FollowsTheFieldRules) {
  ProtocolString protocol;
  Values sample{-1.0, -2.0};
  EXPECT_EQ(protocol.parseLine(sample, GetParam().text), GetParam().accepted);
  EXPECT_EQ(sample, GetParam().sample);
}

const double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseLine,
    ::testing::Values(
        LineCase{"ThreeNumbers", "1.5,2,-3e2\n", true, {1.5, 2.0, -300.0}},
        LineCase{"SpaceAndCarriageReturn", "1.5, 2\r\n", true, {1.5, 2.0}},
        LineCase{"TextAfterANumberIsIgnored", "12abc,3\n", true, {12.0, 3.0}},
        LineCase{"EmptyFieldEndsTheLine", "1,,2\n", true, {1.0}}, LineCase{"LeadingComma", ",1,2\n", true, {}},
        LineCase{"LineFeedAloneIsNoNumber", "1,\n", false, {}}, LineCase{"LoneLineFeed", "\n", false, {}},
        LineCase{"FieldWithoutANumber", "1,x,3\n", false, {}}, LineCase{"BlankField", "1, ,3\n", false, {}},
        LineCase{"Overflow", "1e999\n", false, {}}, LineCase{"NegativeOverflow", "4,-1e999\n", false, {}},
        LineCase{"Underflow", "1e-400\n", false, {}},
        LineCase{"TrailingCommaWithoutLineFeed", "1,2,", true, {1.0, 2.0}},
        LineCase{"NoLineFeed", "7,8", true, {7.0, 8.0}}, LineCase{"EmptyText", "", true, {}},
        LineCase{"SignsAndExponents", "+4,-0.5,2E3,.25\n", true, {4.0, -0.5, 2000.0, 0.25}},
        LineCase{"Tabs", "\t1,\t\t2\t\n", true, {1.0, 2.0}}, LineCase{"Hexadecimal", "0x10,0x1p3\n", true, {16.0, 8.0}},
        LineCase{"Infinity", "inf,-INFINITY\n", true, {kInf, -kInf}},
        LineCase{"LargestDouble", "1.7976931348623157e308\n", true, {1.7976931348623157e308}},
        LineCase{"DecimalCommaIsTwoFields", "1,5\n", true, {1.0, 5.0}},
        LineCase{"NulEndsTheNumberNotTheField", std::string("1\0x,2\n", 6), true, {1.0, 2.0}}),
    [](const ::testing::TestParamInfo<LineCase>& param_info) { return param_info.param.name; });

TEST(ParseLineNotANumber, PassesAsAValue) {
  ProtocolString protocol;
  Values sample;
  EXPECT_TRUE(protocol.parseLine(sample, "nan,1\n"));
  ASSERT_EQ(sample.size(), 2u);
  EXPECT_TRUE(std::isnan(sample[0]));
  EXPECT_EQ(sample[1], 1.0);
}

TEST(ParseLineWide, TakesAnyNumberOfFields) {
  std::string text;
  Values expected;
  for (int i = 0; i < 5000; ++i) {
    text += std::to_string(i) + ".25,";
    expected.push_back(i + 0.25);
  }
  text.back() = '\n';
  ProtocolString protocol;
  Values sample;
  EXPECT_TRUE(protocol.parseLine(sample, text));
  EXPECT_EQ(sample, expected);
}

// Switches the whole process to a locale whose decimal point is a comma, as
// locale.setlocale(locale.LC_ALL, "de_DE.UTF-8") does in a Python program.
class DecimalCommaLocale {
 public:
  DecimalCommaLocale() : previous_(std::setlocale(LC_ALL, nullptr)) {
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "fr_FR.UTF-8", "fr_FR.utf8", "fr_FR", "nl_NL.UTF-8",
                             "es_ES.UTF-8", "it_IT.UTF-8", "ru_RU.UTF-8", "pt_BR.UTF-8"}) {
      if (std::setlocale(LC_ALL, name) != nullptr && std::strcmp(std::localeconv()->decimal_point, ",") == 0) {
        active_ = true;
        return;
      }
    }
    std::setlocale(LC_ALL, previous_.c_str());
  }
  ~DecimalCommaLocale() { std::setlocale(LC_ALL, previous_.c_str()); }
  DecimalCommaLocale(const DecimalCommaLocale&) = delete;
  DecimalCommaLocale& operator=(const DecimalCommaLocale&) = delete;

  bool active() const { return active_; }

 private:
  std::string previous_;
  bool active_ = false;
};

TEST(ParseLineLocale, ReadsAPointAsTheDecimalPointUnderADecimalCommaLocale) {
  DecimalCommaLocale locale;
  if (!locale.active()) GTEST_SKIP() << "no decimal-comma locale installed";
  // The locale is in force: plain strtod would stop at the point.
  ASSERT_EQ(std::strtod("1.5", nullptr), 1.0);

  ProtocolString protocol;
  Values sample;
  EXPECT_TRUE(protocol.parseLine(sample, "1.5,-2.25e1, 3.0\n"));
  EXPECT_EQ(sample, (Values{1.5, -22.5, 3.0}));
}

class TextLines : public ::testing::Test {
 protected:
  void SetUp() override { comms_.port_ = feltwise_test::openCommsPort(pty_.path()); }

  bool next() { return protocol_.readSample(sample_, comms_); }

  PtyPair pty_;
  PortHolder comms_;
  ProtocolString protocol_;
  Values sample_;
};

TEST_F(TextLines, EachCallReadsOneLine) {
  pty_.send("1.5,2,-3e2\n4\r\n\n5,6\n");
  EXPECT_TRUE(next());
  EXPECT_EQ(sample_, (Values{1.5, 2.0, -300.0}));
  EXPECT_TRUE(next());
  EXPECT_EQ(sample_, (Values{4.0}));
  EXPECT_FALSE(next());  // a lone line feed
  EXPECT_TRUE(sample_.empty());
  EXPECT_TRUE(next());
  EXPECT_EQ(sample_, (Values{5.0, 6.0}));
}

TEST_F(TextLines, ARejectedLineIsFollowedByTheNextLine) {
  pty_.send("1,x,3\n7,8\n");
  EXPECT_FALSE(next());
  EXPECT_TRUE(sample_.empty());
  EXPECT_TRUE(next());
  EXPECT_EQ(sample_, (Values{7.0, 8.0}));
}

TEST_F(TextLines, SilenceLeavesTheSampleAsItWas) {
  sample_ = {9.0};
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(next());
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(90));
  EXPECT_EQ(sample_, (Values{9.0}));
}

TEST_F(TextLines, ALineCutShortByTheTimeOutIsParsedAsFarAsItCame) {
  pty_.send("1,2");
  EXPECT_TRUE(next());
  EXPECT_EQ(sample_, (Values{1.0, 2.0}));
  pty_.send(",3\n");
  EXPECT_TRUE(next());  // the rest starts with a comma: an empty first field
  EXPECT_TRUE(sample_.empty());
}

TEST(TextLinesLong, ALineOverTheLimitArrivesInPieces) {
  PtyPair pty;
  PortHolder comms;
  // A roomy read time-out: the first piece must end at its size, not because
  // the machine was slow to carry 64 KiB through the pty.
  comms.port_ =
      std::make_unique<serial::Serial>(pty.path(), 115200, serial::Timeouts(serial::Timeouts::max(), 5000, 0, 100, 0));
  std::string first_piece;
  for (std::size_t i = 0; i < ProtocolString::kMaxLineBytes / 2; ++i) first_piece += "1,";
  ASSERT_EQ(first_piece.size(), ProtocolString::kMaxLineBytes);
  // The pty holds less than the line: the sensor writes while the host reads.
  std::thread sensor([&] { pty.send(first_piece + "2.5,3\n"); });

  ProtocolString protocol;
  Values sample;
  EXPECT_TRUE(protocol.readSample(sample, comms));
  EXPECT_EQ(sample, Values(ProtocolString::kMaxLineBytes / 2, 1.0));
  EXPECT_TRUE(protocol.readSample(sample, comms));
  EXPECT_EQ(sample, (Values{2.5, 3.0}));
  sensor.join();
}

TEST_F(TextLines, RegisterAccessIsRefused) {
  std::vector<std::uint8_t> out;
  try {
    protocol_.readRegister(32, 1, out, comms_, 500);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Register read operation is not supported");
  }
  try {
    protocol_.writeRegister(32, 1, {1}, comms_, 500);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Register write operation is not supported");
  }
  EXPECT_TRUE(pty_.receive(1, 200).empty());
}

TEST_F(TextLines, AnUnpluggedSensorRaisesThePortError) {
  FELTWISE_SKIP_UNLESS_UNPLUGGABLE();
  pty_.unplug();
  EXPECT_THROW(next(), serial::IOException);
}

TEST(TextLinesWithoutPort, RefusesToRead) {
  PortHolder comms;
  ProtocolString protocol;
  Values sample;
  EXPECT_THROW(protocol.readSample(sample, comms), serial::PortNotOpenedException);
}

}  // namespace
