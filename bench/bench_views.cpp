// Tile building and drawing of the photograph view: what a first look, a zoom change and a
// repaint from the cache cost on a 24-megapixel photograph.

#include <benchmark/benchmark.h>

#include <QImage>
#include <QPainter>

#include "TiledImage.h"

using namespace velkaro;

namespace {

ImageRef Photo() {
    static ImageRef photo = [] {
        ImageRef image = Image::create(6000, 4000);
        std::uint8_t* p = image->pixels();
        for (int y = 0; y < 4000; ++y) {
            for (int x = 0; x < 6000; ++x, p += 4) {
                p[0] = 255, p[1] = std::uint8_t(x), p[2] = std::uint8_t(y),
                p[3] = std::uint8_t(x ^ y);
            }
        }
        return image;
    }();
    return photo;
}

// Builds every tile that a 1600 × 1000 view needs at the given zoom, from an empty cache.
void BM_BuildVisibleTiles(benchmark::State& state) {
    const int zoom = int(state.range(0));
    for (auto _ : state) {
        TiledImage tiles;
        tiles.setZoomOut(zoom);
        tiles.setImage(Photo());
        for (int y = 0; y < 1000; y += 256) {
            for (int x = 0; x < 1600; x += 256) benchmark::DoNotOptimize(tiles.tileAt(x, y));
        }
    }
}
BENCHMARK(BM_BuildVisibleTiles)->Arg(1)->Arg(2)->Arg(4)->Unit(benchmark::kMillisecond);

// Draws a 1600 × 1000 view from tiles already cached: the cost of one repaint while panning.
void BM_DrawFromCache(benchmark::State& state) {
    TiledImage tiles;
    tiles.setImage(Photo());
    QImage view(1600, 1000, QImage::Format_ARGB32_Premultiplied);
    const Rect source{1000, 1000, 1600, 1000};
    const Rect destination{0, 0, 1600, 1000};
    for (auto _ : state) {
        QPainter painter(&view);
        painter.setTransform(QTransform(1, 0, 0, -1, 0, 1000));
        tiles.drawTilesFromRect(painter, source, destination, destination);
    }
}
BENCHMARK(BM_DrawFromCache)->Unit(benchmark::kMillisecond);

}  // namespace
