// The tiles and test images the build writes beside the demo executable.
#include <gtest/gtest.h>

#include <QDir>
#include <QImage>

#include <cstdlib>
#include <string>

#include "app/zalDemoHandler.h"

namespace zal {
namespace {

constexpr int kColumns = 15;
constexpr int kRows = 10;
constexpr int kTileSize = 32;

// The demo's build folder, beside this test program's folder.
QString DemoFolder() { return QString::fromStdString(ExecutableFolder()) + "/../app"; }

// Mean absolute difference per colour channel between a tile and the part of
// `picture` it should show.
double Difference(const QImage& tile, const QImage& picture, int x, int y) {
  double sum = 0;
  for (int row = 0; row < kTileSize; ++row)
    for (int column = 0; column < kTileSize; ++column) {
      const QRgb a = tile.pixel(column, row);
      const QRgb b = picture.pixel(x * kTileSize + column, y * kTileSize + row);
      sum += std::abs(qRed(a) - qRed(b)) + std::abs(qGreen(a) - qGreen(b)) + std::abs(qBlue(a) - qBlue(b));
    }
  return sum / (kTileSize * kTileSize * 3);
}

TEST(DemoAssets, TheTilesAreJpegsNamedByColumnAndRowThatTogetherShowThePicture) {
  const QDir tiles(DemoFolder() + "/gophertiles");
  ASSERT_TRUE(tiles.exists()) << tiles.path().toStdString();
  EXPECT_EQ(tiles.entryList(QDir::Files).size(), kColumns * kRows);
  QImage picture(DemoFolder() + "/img/gopher.jpg", "jpeg");
  ASSERT_EQ(picture.size(), QSize(kColumns * kTileSize, kRows * kTileSize));
  for (int y = 0; y < kRows; ++y)
    for (int x = 0; x < kColumns; ++x) {
      const QString name = QString("%1_%2.jpeg").arg(x).arg(y);
      QImage tile(tiles.filePath(name), "jpeg");
      ASSERT_EQ(tile.size(), QSize(kTileSize, kTileSize)) << name.toStdString();
      // Both are lossy copies of one drawing: close, but not equal to the byte.
      EXPECT_LT(Difference(tile, picture, x, y), 6.0) << name.toStdString();
    }
}

TEST(DemoAssets, TheTilesAreNotAllAlike) {
  // A picture cut in the wrong places (x and y swapped) would still match
  // somewhere if every tile looked the same; the corner tiles must differ.
  const QDir tiles(DemoFolder() + "/gophertiles");
  const QImage topLeft(tiles.filePath("0_0.jpeg"), "jpeg");
  const QImage middle(tiles.filePath("7_4.jpeg"), "jpeg");
  ASSERT_FALSE(topLeft.isNull());
  ASSERT_FALSE(middle.isNull());
  EXPECT_GT(Difference(topLeft, middle, 0, 0), 20.0);
}

TEST(DemoAssets, TheTestImagesAreJpegs) {
  EXPECT_EQ(QImage(DemoFolder() + "/img/gopher_small.jpg", "jpeg").size(), QSize(120, 80));
}

}  // namespace
}  // namespace zal
