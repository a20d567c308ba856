#include "client/app/name_mapping.h"

#include <gtest/gtest.h>

#include <string>

namespace tervane {
namespace {

// Each refused character has its own private-use character, as Samba's
// catia/fruit modules name them, and maps back to itself.
TEST(NameMappingTest, EachRefusedCharacterRoundTrips) {
  const std::string printables = "\"*:<>?\\|";
  for (size_t i = 0; i < printables.size(); ++i) {
    const std::string local = std::string("a") + printables[i] + "b";
    const std::string remote = MapNameToRemote(local);
    const std::string expected = std::string("a\xEF\x80") + static_cast<char>(0xA0 + i) + "b";
    EXPECT_EQ(remote, expected) << printables[i];
    EXPECT_EQ(MapNameToLocal(remote), local);
  }
  for (int c = 0x01; c <= 0x1F; ++c) {
    const std::string local(1, static_cast<char>(c));
    const std::string remote = MapNameToRemote(local);
    EXPECT_EQ(remote, std::string("\xEF\x80") + static_cast<char>(0x80 + c)) << c;
    EXPECT_EQ(MapNameToLocal(remote), local);
  }
}

// Other names, Chinese text and bytes that are not UTF-8 included, pass
// unchanged both ways; other private-use characters are left alone.
TEST(NameMappingTest, OtherNamesPassUnchanged) {
  for (const std::string name : {"报告.doc", "plain name.txt", "bad\xFF\xFE", "\xEF\x80\xB0", "\xEF\x80", "~$x"}) {
    EXPECT_EQ(MapNameToRemote(name), name);
    EXPECT_EQ(MapNameToLocal(name), name);
  }
  EXPECT_EQ(MapNameToLocal("Screenshot from 2024-05-06 12\xEF\x80\xA2" "30\xEF\x80\xA2" "00.png"),
            "Screenshot from 2024-05-06 12:30:00.png");
}

}  // namespace
}  // namespace tervane
