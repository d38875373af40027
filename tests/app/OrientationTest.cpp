// Photographs come upright: the EXIF orientation of a JPEG (our own decoder) and of other formats
// (Qt's) is applied on reading.

#include <gtest/gtest.h>

#include <QBuffer>
#include <QDataStream>
#include <QImageReader>
#include <QImageWriter>

#include "AppTestSupport.h"
#include "ControllerModel.h"
#include "ImageIO.h"

using namespace velkaro;

namespace {

// 256 × 128 in four flat quadrants, so that every turn and mirror is told apart.
QImage Quadrants() {
    QImage image(256, 128, QImage::Format_RGB32);
    const QRgb colours[4] = {qRgb(220, 30, 30), qRgb(30, 200, 40), qRgb(30, 40, 220),
                             qRgb(230, 220, 40)};
    for (int y = 0; y < 128; ++y)
        for (int x = 0; x < 256; ++x) image.setPixel(x, y, colours[(y / 64) * 2 + x / 128]);
    return image;
}

// A TIFF header and IFD0 with one entry, as an EXIF APP1 segment carries them.
QByteArray ExifTiff(int orientation, bool bigEndian, quint16 type = 3, quint32 count = 1,
                    quint32 ifdOffset = 8, quint16 entries = 1) {
    QByteArray t(bigEndian ? "MM" : "II");
    QDataStream out(&t, QIODevice::Append);
    out.setByteOrder(bigEndian ? QDataStream::BigEndian : QDataStream::LittleEndian);
    out << quint16(42) << ifdOffset << entries << quint16(0x0112) << type << count
        << quint16(orientation) << quint16(0) << quint32(0);  // no next IFD
    return t;
}

// `jpeg` with an APP1 segment holding "Exif\0\0" and `tiff` right after its SOI marker.
QByteArray WithApp1(const QByteArray& jpeg, const QByteArray& tiff, const char* id = "Exif") {
    const QByteArray payload = QByteArray(id, 4) + QByteArray(2, '\0') + tiff;
    const int length = int(payload.size()) + 2;
    QByteArray segment("\xFF\xE1", 2);
    segment += char(length >> 8);
    segment += char(length);
    return jpeg.left(2) + segment + payload + jpeg.mid(2);
}

// Our decoding shows what Qt shows: the same size, and within JPEG's error the same colours at
// the centres of the four quadrants.
void ExpectSameLook(const Image& ours, const QImage& qt, const std::string& what) {
    const QImage image = ToQImage(ours);
    ASSERT_EQ(image.size(), qt.size()) << what;
    for (const QPointF at : {QPointF(1, 1), QPointF(3, 1), QPointF(1, 3), QPointF(3, 3)}) {
        const QPoint p(int(at.x() * image.width() / 4), int(at.y() * image.height() / 4));
        for (int shift : {0, 8, 16})
            EXPECT_NEAR(image.pixel(p) >> shift & 255, qt.pixel(p) >> shift & 255, 12)
                << what << " at " << p.x() << "," << p.y();
    }
}

}  // namespace

TEST(Orientation, JpegAndQtFormatsDecodeUprightAndDamagedExifReadsAsNormal) {
    TestApp();
    QTemporaryDir dir;
    const QImage stored = Quadrants();
    QByteArray plain;
    QBuffer buffer(&plain);
    ASSERT_TRUE(buffer.open(QIODevice::WriteOnly));
    ASSERT_TRUE(stored.save(&buffer, "jpg", 95));
    auto decode = [&](const QByteArray& bytes, const char* name) {
        const QString path = dir.filePath(name);
        EXPECT_TRUE(WriteFile(path, bytes));
        return ImageIO::sharedInstance().readFromFile(path.toStdString());
    };
    // Every orientation in both byte orders, against Qt's reader of the same file (the eight
    // turns and mirrors of the quadrants all look different).
    for (int orientation = 1; orientation <= 8; ++orientation)
        for (bool big : {false, true}) {
            const std::string what =
                "orientation " + std::to_string(orientation) + (big ? " MM" : " II");
            const ImageRef ours =
                decode(WithApp1(plain, ExifTiff(orientation, big)), "oriented.jpg");
            ASSERT_TRUE(ours) << what;
            QImageReader reader(dir.filePath("oriented.jpg"));
            reader.setAutoTransform(true);
            ExpectSameLook(*ours, reader.read(), what);
        }
    // Damaged or foreign segments: the pixels as stored.
    const struct {
        const char* what;
        QByteArray bytes;
    } damaged[] = {
        {"value 9", WithApp1(plain, ExifTiff(9, true))},
        {"not a SHORT", WithApp1(plain, ExifTiff(6, false, 4))},
        {"two values", WithApp1(plain, ExifTiff(6, true, 3, 2))},
        {"IFD beyond the segment", WithApp1(plain, ExifTiff(6, false, 3, 1, 0xFFFFFFF0u))},
        {"entry beyond the segment", WithApp1(plain, ExifTiff(6, true, 3, 1, 20))},
        {"no TIFF header", WithApp1(plain, QByteArray("XX\0*", 4))},
        {"not EXIF", WithApp1(plain, ExifTiff(6, true), "Exix")},
        {"segment longer than the file", plain.left(2) + QByteArray("\xFF\xE1\xFF\xF0\x45xif", 8)},
    };
    for (const auto& test : damaged) {
        const auto* data = reinterpret_cast<const std::uint8_t*>(test.bytes.constData());
        EXPECT_EQ(JpegExifOrientation(data, std::size_t(test.bytes.size())), 1) << test.what;
        if (const ImageRef image = decode(test.bytes, "damaged.jpg"))
            ExpectSameLook(*image, stored, test.what);
    }
    // Another format with an orientation: Qt's transform.
    QImageWriter writer(dir.filePath("turned.tif"), "tiff");
    writer.setTransformation(QImageIOHandler::TransformationRotate90);
    ASSERT_TRUE(writer.write(stored));
    const ImageRef tiff =
        ImageIO::sharedInstance().readFromFile(dir.filePath("turned.tif").toStdString());
    ASSERT_TRUE(tiff);
    ExpectSameLook(*tiff, stored.transformed(QTransform().rotate(90)), "TIFF");
}
