// Field and frame counting of every video format code.
#include <gtest/gtest.h>

#include "Main/video_format.h"

TEST(VideoFormat, EveryCodeCountsFieldsGroupsStillsAndOpensPanelEventFields) {
  struct Row {
    int format;
    f32 fieldOne, fieldTwo;  // frames a field cycle advances
    int group;
    bool eventsInParity1WithSelectAny;
  };
  const Row rows[] = {
      {0, 0.5f, 0.5f, 0, true},  {1, 0.5f, 0.5f, 0, true},  {2, 1.0f, 0.0f, 0, false}, {3, 1.0f, 0.0f, 0, false},
      {4, 1.0f, 1.0f, 1, true},  {5, 1.0f, 1.0f, 1, true},  {6, 0.5f, 0.5f, 2, true},  {7, 0.5f, 0.5f, 3, true},
      {8, 1.0f, 0.0f, 0, false}, {9, 1.0f, 0.0f, 0, false}, {10, 1.0f, 1.0f, 4, true}, {11, 1.0f, 1.0f, 4, true},
      {12, 0.5f, 0.5f, 5, true}};
  for (const Row& r : rows) {
    EXPECT_EQ(framesPerField(r.format, true), r.fieldOne) << r.format;
    EXPECT_EQ(framesPerField(r.format, false), r.fieldTwo) << r.format;
    EXPECT_EQ(formatGroup(r.format), r.group) << r.format;
    EXPECT_TRUE(panelEventsInField(r.format, 0, 0)) << r.format;
    EXPECT_EQ(panelEventsInField(r.format, 0, 1), r.eventsInParity1WithSelectAny) << r.format;
  }
  // The field selection picks the field only where the format does not decide it.
  EXPECT_TRUE(panelEventsInField(0, 1, 0) && !panelEventsInField(0, 1, 1));
  EXPECT_TRUE(!panelEventsInField(0, 2, 0) && panelEventsInField(0, 2, 1));
  EXPECT_TRUE(panelEventsInField(4, 2, 0) && !panelEventsInField(2, 2, 1));
}
