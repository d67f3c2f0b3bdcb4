// The stamped-sample feed, without a port.
#include <gtest/gtest.h>

#include <vector>

#include "comms/sample_feed.h"

namespace {

using feltwise_comm::SampleFeed;
using feltwise_comm::StampedSample;
using Path = SampleFeed::Path;

// Hands off frames first..last; frame k has raw {k} and calibrated {10 k}, stamped k.
void handOff(SampleFeed& feed, int first, int last) {
  for (int k = first; k <= last; ++k) {
    feed.hand_off({static_cast<double>(k)}, {10.0 * k}, k);
  }
}

TEST(SampleFeed, NewestPathCountsEveryReplacedFrameAsDropped) {
  SampleFeed feed;
  feed.activate(0);
  StampedSample out;
  EXPECT_FALSE(feed.take(Path::kNewest, out));
  EXPECT_FALSE(feed.take(Path::kQueue, out));

  handOff(feed, 1, 1);
  ASSERT_TRUE(feed.take(Path::kNewest, out));
  EXPECT_EQ(out.seq, 1u);
  EXPECT_EQ(out.dropped, 0u);
  EXPECT_FALSE(feed.take(Path::kNewest, out));

  handOff(feed, 2, 5);  // 2, 3 and 4 are replaced before anyone takes them
  ASSERT_TRUE(feed.take(Path::kNewest, out));
  EXPECT_EQ(out.seq, 5u);
  EXPECT_EQ(out.dropped, 3u);
  EXPECT_EQ(out.raw, std::vector<double>{5.0});
  EXPECT_EQ(out.calibrated, std::vector<double>{50.0});
  EXPECT_EQ(out.t_host_ns, 5);
}

TEST(SampleFeed, FramesPassedOverCountInSeqAndAsDropped) {
  SampleFeed feed;
  feed.activate(0);
  StampedSample out;
  handOff(feed, 1, 1);
  feed.pass_over(3);  // 2, 3 and 4 decoded in one burst with 5, never handed off
  handOff(feed, 5, 5);
  ASSERT_TRUE(feed.take(Path::kNewest, out));
  EXPECT_EQ(out.seq, 5u);
  EXPECT_EQ(out.dropped, 4u);
  EXPECT_EQ(out.raw, std::vector<double>{5.0});
}

TEST(SampleFeed, QueueKeepsOrderAndPushesTheOldestOutWhenFull) {
  SampleFeed feed;
  feed.activate(3);
  StampedSample out;
  handOff(feed, 1, 2);
  ASSERT_TRUE(feed.take(Path::kQueue, out));
  EXPECT_EQ(out.seq, 1u);
  EXPECT_EQ(out.dropped, 0u);

  handOff(feed, 3, 6);  // queue: 2 3 4, then 5 pushes 2 out and 6 pushes 3 out
  std::vector<std::uint64_t> seqs;
  while (feed.take(Path::kQueue, out)) {
    seqs.push_back(out.seq);
    EXPECT_EQ(out.dropped, 2u) << "counted when taken, so the gap before 4 is already in it";
    EXPECT_EQ(out.raw, std::vector<double>{static_cast<double>(out.seq)});
  }
  EXPECT_EQ(seqs, (std::vector<std::uint64_t>{4, 5, 6}));
  // The newest path is independent: it still holds frame 6, with 1 to 5 missed.
  ASSERT_TRUE(feed.take(Path::kNewest, out));
  EXPECT_EQ(out.seq, 6u);
  EXPECT_EQ(out.dropped, 5u);
}

TEST(SampleFeed, RestartForgetsFramesAndCounts) {
  SampleFeed feed;
  feed.activate(2);
  handOff(feed, 1, 5);
  feed.restart();
  StampedSample out;
  EXPECT_FALSE(feed.take(Path::kNewest, out));
  EXPECT_FALSE(feed.take(Path::kQueue, out));
  handOff(feed, 1, 1);
  ASSERT_TRUE(feed.take(Path::kQueue, out));
  EXPECT_EQ(out.seq, 1u);
  EXPECT_EQ(out.dropped, 0u);
}

TEST(SampleFeed, FramesCarryTheReconnectsBeforeThemAndRestartForgetsThem) {
  SampleFeed feed;
  feed.activate(4);
  handOff(feed, 1, 1);
  feed.reconnected();  // frame 1 is still queued: it keeps its own count
  handOff(feed, 2, 2);
  StampedSample out;
  ASSERT_TRUE(feed.take(Path::kQueue, out));
  EXPECT_EQ(out.reconnects, 0u);
  ASSERT_TRUE(feed.take(Path::kQueue, out));
  EXPECT_EQ(out.seq, 2u);
  EXPECT_EQ(out.reconnects, 1u);
  EXPECT_EQ(feed.reconnects(), 1u);
  feed.restart();
  handOff(feed, 1, 1);
  ASSERT_TRUE(feed.take(Path::kNewest, out));
  EXPECT_EQ(out.reconnects, 0u);
}

TEST(SampleFeed, ASampleGivenBackIsTakenAgainUnlessNewerFramesTookItsPlace) {
  SampleFeed feed;
  feed.activate(2);
  StampedSample out;
  handOff(feed, 1, 2);
  ASSERT_TRUE(feed.take(Path::kQueue, out));
  feed.give_back(Path::kQueue, out);
  ASSERT_TRUE(feed.take(Path::kQueue, out));
  EXPECT_EQ(out.seq, 1u);
  EXPECT_EQ(out.dropped, 0u);
  handOff(feed, 3, 3);  // the queue is full again: 2 and 3
  feed.give_back(Path::kQueue, out);
  ASSERT_TRUE(feed.take(Path::kQueue, out));
  EXPECT_EQ(out.seq, 2u);
  EXPECT_EQ(out.dropped, 1u) << "frame 1 could not go back: counted";

  ASSERT_TRUE(feed.take(Path::kNewest, out));
  EXPECT_EQ(out.seq, 3u);
  feed.give_back(Path::kNewest, out);
  ASSERT_TRUE(feed.take(Path::kNewest, out));
  EXPECT_EQ(out.seq, 3u);
  const std::uint64_t dropped = out.dropped;
  handOff(feed, 4, 4);
  feed.give_back(Path::kNewest, out);
  ASSERT_TRUE(feed.take(Path::kNewest, out));
  EXPECT_EQ(out.seq, 4u);
  EXPECT_EQ(out.dropped, dropped + 1);
}

}  // namespace

namespace {

using feltwise_comm::SampleBatch;

TEST(SampleFeedBatch, AFrameOfOtherWidthsStartsTheNextBatch) {
  SampleFeed feed;
  feed.activate(16);
  handOff(feed, 1, 3);
  feed.hand_off({4.0, 4.5}, {40.0}, 4);  // one more raw value
  handOff(feed, 5, 5);
  SampleBatch batch;
  const std::vector<std::size_t> expected_rows = {3, 1, 1, 0};
  const std::vector<std::size_t> expected_widths = {1, 2, 1, 1};
  for (std::size_t turn = 0; turn < expected_rows.size(); ++turn) {
    EXPECT_EQ(feed.take_batch(Path::kQueue, 0, batch), expected_rows[turn]);
    EXPECT_EQ(batch.raw_columns, expected_widths[turn]);
    EXPECT_EQ(batch.raw.size(), batch.rows * batch.raw_columns);
  }
  EXPECT_GE(batch.seq.capacity(), 3u);  // the storage stays for the next batch
}

TEST(SampleFeedBatch, RowsGivenBackComeFirstAgainOrCountAsDroppedWhereNewerFramesFilledTheQueue) {
  SampleFeed feed;
  feed.activate(4);
  handOff(feed, 1, 4);
  SampleBatch taken;
  ASSERT_EQ(feed.take_batch(Path::kQueue, 3, taken), 3u);
  EXPECT_EQ(taken.calibrated_row(2)[0], 30.0);
  handOff(feed, 5, 6);  // the queue holds 4, 5, 6: room for one
  feed.give_back(Path::kQueue, taken);
  SampleBatch again;
  ASSERT_EQ(feed.take_batch(Path::kQueue, 0, again), 4u);
  EXPECT_EQ(again.seq, (std::vector<std::uint64_t>{3, 4, 5, 6}));
  EXPECT_EQ(again.dropped, 2u);                             // frames 1 and 2 did not fit back
  EXPECT_EQ(again.seq.back(), again.rows + again.dropped);  // every frame taken or counted
}

}  // namespace
