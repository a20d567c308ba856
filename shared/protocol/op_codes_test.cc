#include "shared/protocol/op_codes.h"

#include <gtest/gtest.h>

#include <map>

namespace tervane {

TEST(OpCodesTest, EveryCodeMapsToItsRequestState) {
  const std::map<uint16_t, RequestState> table = {
      {512, 2},  {513, 3},  {514, 4},  {515, 5},  {516, 6},  {517, 7},  {518, 8},
      {519, 9},  {520, 10}, {521, 11}, {522, 12}, {768, 13}, {769, 14}, {770, 15},
      {523, 16}, {771, 17}, {772, 18}, {773, 19}, {774, 20}, {775, 21}, {776, 22}};
  for (auto [code, state] : table) EXPECT_EQ(MapRequestCode(code), state) << code;
  // Session codes and unknown codes are handled at the header stage.
  for (uint16_t code : {256, 257, 777, 0, 600, 524, 778, 0xFFFF}) {
    EXPECT_EQ(MapRequestCode(code), 0) << code;
  }
  // Nothing else maps: only the 21 payload codes give a state.
  int mapped = 0;
  for (uint32_t code = 0; code <= 0xFFFF; ++code) mapped += MapRequestCode(static_cast<uint16_t>(code)) != 0;
  EXPECT_EQ(mapped, 21);
}

TEST(OpCodesTest, SizeLimits) {
  EXPECT_EQ(kHeaderSize, 28u);
  EXPECT_EQ(kFrameBufferSize, 65792u);
  EXPECT_EQ(kMaxPayload, 65764u);
  EXPECT_EQ(kMaxDataPiece, 65536u);
  EXPECT_EQ(kListingCapacity, 272u);
  // The largest write request fits one frame buffer.
  EXPECT_LE(kHeaderSize + kDataRequestFixed + kMaxDataPiece, kFrameBufferSize);
}

}  // namespace tervane
