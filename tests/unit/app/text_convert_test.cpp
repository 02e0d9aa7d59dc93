// Crossings between UTF-16 and the narrow encoding (UTF-8 under Qt 6 on Linux).
#include <gtest/gtest.h>

#include <vector>

#include "text_convert.h"

namespace {

TEST(WideToAnsi, AbsentStaysAbsentAndEmptyStaysPresent) {
  EXPECT_FALSE(app::WideToAnsi(static_cast<const QString*>(nullptr)).has_value());

  const QString empty;
  const std::optional<QByteArray> narrow = app::WideToAnsi(&empty);
  ASSERT_TRUE(narrow.has_value());
  EXPECT_FALSE(narrow->isNull());
  EXPECT_EQ(narrow->size(), 0);
  EXPECT_STREQ(narrow->constData(), "");

  const QByteArray checked = app::WideToAnsiChecked(QString());
  EXPECT_FALSE(checked.isNull());
  EXPECT_EQ(checked.size(), 0);

  EXPECT_TRUE(app::AnsiToWide(static_cast<const char*>(nullptr)).isEmpty());
  EXPECT_TRUE(app::AnsiToWide("").isEmpty());
  EXPECT_TRUE(app::AnsiToWide(QByteArray()).isEmpty());
}

TEST(WideToAnsi, BothDirectionsUseTheSameEncoding) {
  struct Case {
    QString wide;
    QByteArray narrow;
  };
  const Case cases[] = {
      {QStringLiteral("GEZDGNBVGY3TQOJQ"), QByteArray("GEZDGNBVGY3TQOJQ")},
      {QStringLiteral("0F1E2D3C4B5A69788796A5B4C3D2E1F0"), QByteArray("0F1E2D3C4B5A69788796A5B4C3D2E1F0")},
      // Unicode's UTF-8 forms of U+00C4, U+20AC and U+1F511.
      {QString::fromUtf16(u"Lesegerät \u00C4"), QByteArray("Leseger\xC3\xA4t \xC3\x84")},
      {QString::fromUtf16(u"\u20AC \U0001F511"), QByteArray("\xE2\x82\xAC \xF0\x9F\x94\x91")},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(app::WideToAnsi(c.wide), c.narrow);
    EXPECT_EQ(app::WideToAnsiChecked(c.wide), c.narrow);
    EXPECT_EQ(app::AnsiToWide(c.narrow), c.wide);
    EXPECT_EQ(app::AnsiToWide(c.narrow.constData()), c.wide);
  }
}

TEST(WideToAnsi, UnrepresentableCharacterIsReplacedNotAnError) {
  // A lone surrogate has no narrow form; it becomes the encoding's replacement.
  const QString text = QStringLiteral("AB") + QChar(0xD800) + QStringLiteral("CD");
  QByteArray narrow;
  EXPECT_NO_THROW(narrow = app::WideToAnsiChecked(text));
  EXPECT_TRUE(narrow.startsWith("AB"));
  EXPECT_TRUE(narrow.endsWith("CD"));
  EXPECT_GT(narrow.size(), 4);
  EXPECT_EQ(app::WideToAnsi(text), narrow);
}

TEST(BytesToHexText, UpperCaseTwoDigitsPerByte) {
  const uint8_t sample[] = {0x00, 0xAB};
  EXPECT_EQ(app::BytesToHexText(sample, 2), QStringLiteral("00AB"));
  EXPECT_EQ(app::BytesToHexText(sample, 0), QString());
  const uint8_t digits[] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0xF0};
  EXPECT_EQ(app::BytesToHexText(digits, sizeof digits), QStringLiteral("0123456789ABCDEFF0"));

  // No fixed scratch area: more than 1023 bytes is no overflow.
  const std::vector<uint8_t> many(1500, 0x5C);
  const QString text = app::BytesToHexText(many.data(), many.size());
  EXPECT_EQ(text.size(), 3000);
  EXPECT_EQ(text.count(QStringLiteral("5C")), 1500);
}

}  // namespace
