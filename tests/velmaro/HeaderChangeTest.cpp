// A header sent again mid-stream (new parameter sets, a new picture size)
// must reach the server in order with the media: after every picture queued
// before it, right before the first picture that uses it.
#include <gtest/gtest.h>

#include "MediaProbe.h"
#include "VelmaroTesting.h"

using namespace velmarotest;
using namespace testsupport;

TEST(VelmaroHeaderChange, NewHeaderLeavesBehindTheQueuedPicturesAndBeforeTheNewOnes) {
  TNginxRtmp server;
  server.Start();
  TMediaOptions options;
  options.seconds = 2;
  const TTestMedia& small = MakeTestMedia(options);
  options.width = 640;
  options.height = 480;
  const TTestMedia& large = MakeTestMedia(options);

  THandle handle;
  ASSERT_EQ(handle.Open(server.PublishUrl("change")), VELMARO_OK);
  TMediaHeader header = HeaderFor(small, true);
  ASSERT_EQ(RTMP_SendHeader(handle.Get(), &header), VELMARO_OK);
  auto sendVideo = [&](const TAccessUnit& unit, int64_t offsetMs) {
    return RTMP_SendVideo(handle.Get(), unit.data.data(), static_cast<uint32_t>(unit.data.size()),
                          static_cast<uint32_t>(unit.timeMs + offsetMs), unit.key ? 1 : 0);
  };
  // No audio yet: the sorter holds every picture of the first size.
  for (size_t i = 0; i < 25; ++i) ASSERT_TRUE(sendVideo(small.video[i], 0));
  TMediaHeader changed = HeaderFor(large, true);
  ASSERT_EQ(RTMP_SendHeader(handle.Get(), &changed), VELMARO_OK);
  for (size_t i = 0; i < 25; ++i) ASSERT_TRUE(sendVideo(large.video[i], 1000));
  for (const TAudioFrame& frame : small.audio) {
    TBytes raw = frame.Raw();
    ASSERT_TRUE(RTMP_SendAudio(handle.Get(), raw.data(), static_cast<uint32_t>(raw.size()),
                               static_cast<uint32_t>(frame.timeMs)));
  }
  ASSERT_TRUE(handle.CloseAfterDrain());

  std::vector<std::string> order;  // H: sequence header, S and L: pictures of each size
  std::vector<TBytes> sequenceHeaders;
  for (const TFlvTag& tag : Recording(server, "change").tags) {
    if (!tag.IsVideo()) continue;
    if (tag.IsSequenceHeader()) sequenceHeaders.push_back(tag.body);
    order.push_back(tag.IsSequenceHeader() ? "H" : tag.timestamp < 1000 ? "S" : "L");
  }
  std::vector<std::string> expected = {"H"};
  expected.insert(expected.end(), 25, "S");
  expected.push_back("H");
  expected.insert(expected.end(), 25, "L");
  EXPECT_EQ(order, expected);
  ASSERT_EQ(sequenceHeaders.size(), 2u);
  EXPECT_EQ(sequenceHeaders[1], ExpectedAvcSequenceHeader(large.sps, large.pps));
  const std::string path = server.RecordingPath("change");
  EXPECT_EQ(DecodeErrors(path), std::vector<std::string>{});
  auto sizes = DecodedPictureSizes(path);
  EXPECT_EQ(sizes, (std::vector<std::pair<std::pair<int, int>, int>>{{{320, 240}, 25}, {{640, 480}, 25}}));
}
