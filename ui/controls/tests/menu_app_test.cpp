// The drawn menu across application objects: each gets a live menu style.
#include <gtest/gtest.h>

#include <QApplication>
#include <memory>

#include "ui/controls/trel_menu.h"

TEST(TrelMenuAppTest, ALaterApplicationGetsALiveStyle) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  int argc = 1;
  char name[] = "menu_app_test";
  char* argv[] = {name, nullptr};
  for (int round = 0; round < 2; ++round) {
    QApplication app(argc, argv);
    auto menu = std::make_unique<TrelMenu>();
    menu->addAction(QStringLiteral("Item"));
    EXPECT_EQ(menu->style(), TrelMenuStyle::instance()) << round;
    EXPECT_GT(menu->sizeHint().width(), 0) << round;
  }
}
