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
