// The built-in customer key and the reader name shared between threads.
#include <gtest/gtest.h>

#include <QRegularExpression>
#include <atomic>
#include <thread>

#include "app_values.h"

namespace {

TEST(CustomerKey, IsTheBuiltInConstant) {
  EXPECT_EQ(app::CustomerKey(), QStringLiteral("0F1E2D3C4B5A69788796A5B4C3D2E1F0"));
  EXPECT_EQ(&app::CustomerKey(), &app::CustomerKey());
}

TEST(CustomerKey, AnotherKeyOnlyWhenItIs32HexDigits) {
  const QString builtIn = app::CustomerKey();
  for (const char* bad : {"", "0F1E2D3C4B5A69788796A5B4C3D2E1F", "0F1E2D3C4B5A69788796A5B4C3D2E1F00",
                          "0F1E2D3C4B5A69788796A5B4C3D2E1FG", "0F1E2D3C 4B5A69788796A5B4C3D2E1F"}) {
    EXPECT_FALSE(app::SetCustomerKey(QString::fromLatin1(bad))) << bad;
    EXPECT_EQ(app::CustomerKey(), builtIn) << bad;
  }
  EXPECT_TRUE(app::SetCustomerKey(QStringLiteral("00112233445566778899aabbccddeeff")));
  EXPECT_EQ(app::CustomerKey(), QStringLiteral("00112233445566778899AABBCCDDEEFF"));
  EXPECT_TRUE(app::SetCustomerKey(builtIn));
}

TEST(SelectedReaderName, EmptyUntilSetThenKeepsTheLastName) {
  EXPECT_TRUE(app::SelectedReaderName().isEmpty());
  app::SetSelectedReaderName(QStringLiteral("Virtual PCD 00 00"));
  EXPECT_EQ(app::SelectedReaderName(), QStringLiteral("Virtual PCD 00 00"));
  app::SetSelectedReaderName(QStringLiteral("ACS ACR122U 01 00"));
  EXPECT_EQ(app::SelectedReaderName(), QStringLiteral("ACS ACR122U 01 00"));
}

TEST(SelectedReaderName, ReadsFromAnotherThreadSeeWholeNames) {
  const QString first = QStringLiteral("Reader A ") + QString(200, QLatin1Char('a'));
  const QString second = QStringLiteral("Reader B");
  app::SetSelectedReaderName(first);
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 0; i < 20000; ++i) app::SetSelectedReaderName(i % 2 ? first : second);
    stop = true;
  });
  int torn = 0;
  while (!stop) {
    const QString name = app::SelectedReaderName();
    if (name != first && name != second) ++torn;
  }
  writer.join();
  EXPECT_EQ(torn, 0);
}

}  // namespace
