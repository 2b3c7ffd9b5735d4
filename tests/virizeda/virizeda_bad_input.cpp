// Camera names at the edge of what the simulated bus's configuration
// takes: whole up to the limit, refused with one line beyond it.
#include "virizeda_test_util.h"

namespace {

class NameLimit : public SimBusTest {};

TEST_F(NameLimit, LongNamesWithMenuCharactersComeBackWhole) {
  std::string longest(1023, 'n');
  for (size_t i = 0; i < longest.size(); i += 5) longest[i] = "/&_%@"[i / 5 % 5];
  std::string three = std::string(300, 'x');
  open_bus("{\"cameras\": [{\"name\": \"" + longest + "\"}, {\"name\": \"" +
           three + "\"}]}");
  ASSERT_NE(dSys, nullptr) << DiagLines::all();
  ASSERT_EQ(dSys->NumCameras(), 2);
  EXPECT_EQ(longest, dSys->Names()[0]);
  EXPECT_EQ(three, dSys->Names()[1]);
  EXPECT_EQ(nullptr, dSys->Names()[2]);
  // a camera can be asked for by its name
  dCamera *c = dSys->InitCamera(&three[0]);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c, dSys->InitCamera(1));
  c = dSys->InitCamera(&longest[0]);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c, dSys->InitCamera(0));
  // diagnostic lines stay single lines of bounded length
  for (const std::string &l : DiagLines::lines()) EXPECT_LT(l.size(), 1024u);
}

TEST_F(NameLimit, OneByteMoreIsRefusedWithOneLine) {
  open_bus();
  ASSERT_NE(dSys, nullptr);
  delete dSys;
  dSys = nullptr;
  DiagLines::clear();
  open_bus("{\"cameras\": [{}, {\"name\": \"" + std::string(1024, 'n') + "\"}]}");
  EXPECT_EQ(dSys, nullptr);
  ASSERT_EQ(DiagLines::lines().size(), 1u) << DiagLines::all();
  EXPECT_NE(DiagLines::lines()[0].find("camera 1: \"name\" must hold 1 to 1023 characters"),
            std::string::npos)
      << DiagLines::lines()[0];
}

}  // namespace
