// The notices a comms object keeps for feltwise.Sensor instead of printing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "comms/notice_board.h"
#include "console/console_sink.h"
#include "models/unplugged_warning.h"
#include "parameters/sensor_parameters.h"

namespace {

using feltwise_comm::NoticeBoard;
using feltwise_comm::console::Notice;

struct TaxelRecord : feltwise_comm::SensorParameters {
  TaxelRecord() : SensorParameters(feltwise_comm::sensor_type::kTaxelPolyfit) {
    input_map = {{17, 0}};
    output_map = {{0, 5}};
  }
};

TEST(NoticeBoard, NamesTheUnitOnceAndTheDeviceLineEveryTime) {
  NoticeBoard board;
  const TaxelRecord record;
  board.unit(3, &record, 16);
  board.notice(Notice::kUnitNotPluggedIn, {});
  board.notice(Notice::kUnitNotPluggedIn, {});  // the next sample: told already
  board.notice(Notice::kDeviceError, "E03 over\x1b[2Jheat\n");
  board.notice(Notice::kDeviceError, "E03 over\x1b[2Jheat\n");
  ASSERT_TRUE(board.waiting());
  std::vector<std::string> told;
  board.take(told);
  EXPECT_FALSE(board.waiting());
  ASSERT_EQ(told.size(), 3u);
  EXPECT_EQ(told[0],
            "unit 3 (TaxelPolyfitModel, output 5) is configured but not plugged in: it reads raw channel 17, the "
            "sensor sends 16 values");
  EXPECT_EQ(told[1], "device error line: E03 over\\x1b[2Jheat");
  EXPECT_EQ(told[2], told[1]);

  board.forget_units();  // new records: told again
  board.notice(Notice::kUnitNotPluggedIn, {});
  told.clear();
  board.take(told);
  EXPECT_EQ(told.size(), 1u);
}

TEST(NoticeBoard, KeepsABoundedNumberAndCountsTheRest) {
  NoticeBoard board;
  for (std::size_t i = 0; i < NoticeBoard::kCapacity + 10; ++i) board.notice(Notice::kDeviceError, "E1");
  std::vector<std::string> told;
  board.take(told);
  ASSERT_EQ(told.size(), NoticeBoard::kCapacity + 1);
  EXPECT_EQ(told.back(), "10 more notices were dropped: they came faster than they were read");
}

TEST(NoticeBoard, ARedirectedThreadTellsItsListenerInsteadOfTheConsole) {
  NoticeBoard board;
  const TaxelRecord record;
  board.unit(0, &record, 2);
  {
    const feltwise_comm::console::Redirect redirect(&board);
    feltwise_comm::UnpluggedWarning warning;
    warning.raise();
    feltwise_comm::console::postDeviceText("ERR ", "E7\n", "\n");
  }
  EXPECT_EQ(feltwise_comm::console::Redirect::current(), nullptr);
  std::vector<std::string> told;
  board.take(told);
  ASSERT_EQ(told.size(), 2u);
  EXPECT_EQ(told[1], "device error line: E7");
}

}  // namespace
