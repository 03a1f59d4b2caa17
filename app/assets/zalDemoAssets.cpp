// zal_demo_assets: draws the demo's picture and writes what the demo serves.
//   zal_demo_assets OUTPUT_FOLDER
// writes OUTPUT_FOLDER/gophertiles/x_y.jpeg (the picture cut into tiles, x the
// column and y the row, both from 0) and OUTPUT_FOLDER/img/*.jpg (test images).
// Everything is drawn here; no image comes from elsewhere.
#include <QColor>
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QImageWriter>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr int kTileSize = 32;
constexpr int kColumns = 15;
constexpr int kRows = 10;
constexpr int kJpegQuality = 85;

void DrawLandscape(QPainter& p, const QRect& area) {
  QLinearGradient sky(0, 0, 0, area.height());
  sky.setColorAt(0, QColor(70, 140, 220));
  sky.setColorAt(1, QColor(200, 230, 250));
  p.fillRect(area, sky);

  QRadialGradient sun(400, 60, 40);
  sun.setColorAt(0, QColor(255, 250, 200));
  sun.setColorAt(1, QColor(255, 200, 60));
  p.setPen(Qt::NoPen);
  p.setBrush(sun);
  p.drawEllipse(QPoint(400, 60), 36, 36);

  QPainterPath hills;
  hills.moveTo(0, 250);
  hills.cubicTo(120, 190, 220, 280, 330, 230);
  hills.cubicTo(400, 200, 450, 220, 480, 240);
  hills.lineTo(480, 320);
  hills.lineTo(0, 320);
  hills.closeSubpath();
  p.setBrush(QColor(80, 170, 80));
  p.drawPath(hills);
}

void DrawGopher(QPainter& p) {
  const QColor fur(110, 200, 230);
  const QColor outline(30, 60, 80);
  p.setPen(QPen(outline, 3));

  p.setBrush(fur);  // ears behind the head
  p.drawEllipse(QPoint(165, 95), 18, 18);
  p.drawEllipse(QPoint(295, 95), 18, 18);
  p.drawRoundedRect(QRect(150, 80, 160, 220), 80, 80);  // body

  p.setBrush(QColor(240, 210, 170));  // paws
  p.drawEllipse(QPoint(150, 200), 14, 10);
  p.drawEllipse(QPoint(310, 200), 14, 10);

  p.setBrush(Qt::white);  // eyes
  p.drawEllipse(QPoint(200, 135), 26, 26);
  p.drawEllipse(QPoint(262, 135), 26, 26);
  p.setBrush(Qt::black);
  p.drawEllipse(QPoint(208, 138), 9, 9);
  p.drawEllipse(QPoint(254, 138), 9, 9);

  p.setBrush(QColor(240, 210, 170));  // snout, nose and teeth
  p.drawEllipse(QPoint(231, 178), 24, 15);
  p.setBrush(QColor(60, 40, 40));
  p.drawEllipse(QPoint(231, 170), 9, 6);
  p.setBrush(Qt::white);
  p.drawRect(QRect(224, 190, 14, 14));
}

QImage DrawPicture() {
  QImage picture(kColumns * kTileSize, kRows * kTileSize, QImage::Format_RGB32);
  QPainter p(&picture);
  p.setRenderHint(QPainter::Antialiasing);
  DrawLandscape(p, picture.rect());
  DrawGopher(p);
  return picture;
}

bool Save(const QImage& image, const QString& fileName) {
  QImageWriter writer(fileName, "jpeg");
  writer.setQuality(kJpegQuality);
  if (writer.write(image))
    return true;
  std::fprintf(stderr, "zal_demo_assets: cannot write %s: %s\n", qPrintable(fileName),
               qPrintable(writer.errorString()));
  return false;
}

bool WriteTiles(const QImage& picture, const QDir& folder) {
  for (int y = 0; y < kRows; ++y)
    for (int x = 0; x < kColumns; ++x) {
      const QImage tile = picture.copy(x * kTileSize, y * kTileSize, kTileSize, kTileSize);
      if (!Save(tile, folder.filePath(QString("%1_%2.jpeg").arg(x).arg(y))))
        return false;
    }
  return true;
}

bool WriteTestImages(const QImage& picture, const QDir& folder) {
  return Save(picture, folder.filePath("gopher.jpg")) &&
         Save(picture.scaled(picture.size() / 4, Qt::KeepAspectRatio, Qt::SmoothTransformation),
              folder.filePath("gopher_small.jpg"));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT_FOLDER\n", argv[0]);
    return 2;
  }
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication application(argc, argv);
  if (!QImageWriter::supportedImageFormats().contains("jpeg")) {
    std::fprintf(stderr, "zal_demo_assets: Qt has no JPEG writer (the qjpeg plugin of libqt6gui6 is missing)\n");
    return 1;
  }
  const QDir output(QString::fromLocal8Bit(argv[1]));
  if (!output.mkpath("gophertiles") || !output.mkpath("img")) {
    std::fprintf(stderr, "zal_demo_assets: cannot create folders in %s\n", argv[1]);
    return 1;
  }
  const QImage picture = DrawPicture();
  const bool written = WriteTiles(picture, QDir(output.filePath("gophertiles"))) &&
                       WriteTestImages(picture, QDir(output.filePath("img")));
  return written ? 0 : 1;
}
