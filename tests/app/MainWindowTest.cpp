#include "HidIap.h"

#include <gtest/gtest.h>

TEST(MainWindow, OpensAtItsFixedSize) {
    TfrmMain w;
    EXPECT_EQ(w.size(), QSize(859, 587));
}
