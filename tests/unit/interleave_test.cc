// Band splitting: every vector path (SSSE3 and AVX2 for three and four byte
// bands, the row form used for tiles) against a plain per-sample reference,
// over lengths that end inside and outside the vector width.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "ramimage/interleave.h"

namespace {

std::vector<unsigned char> pattern(size_t n, unsigned seed) {
    std::vector<unsigned char> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>((i * 2654435761u + seed) >> 7);
    return v;
}

TEST(SplitBands, MatchesReferenceForEveryShape) {
    for (int sb : {1, 2, 4})
        for (int nb : {1, 2, 3, 4, 5, 17})
            for (int64_t cols : {0, 1, 15, 16, 17, 31, 32, 33, 47, 100, 256, 257}) {
                auto rec = pattern(static_cast<size_t>(cols * nb * sb) + 1, static_cast<unsigned>(nb * 31 + sb));
                std::vector<std::vector<unsigned char>> bands(nb, std::vector<unsigned char>(cols * sb + 8, 0xEE));
                std::vector<unsigned char*> dst;
                for (auto& b : bands) dst.push_back(b.data());
                splitBands(rec.data(), dst.data(), cols, nb, sb);
                for (int b = 0; b < nb; ++b) {
                    for (int64_t x = 0; x < cols; ++x)
                        ASSERT_EQ(0, std::memcmp(&bands[b][x * sb], &rec[(x * nb + b) * sb], sb))
                            << "sb " << sb << " nb " << nb << " cols " << cols << " band " << b << " x " << x;
                    // Nothing is written past the line.
                    for (int k = 0; k < 8; ++k) ASSERT_EQ(0xEE, bands[b][cols * sb + k]);
                }
                // And back.
                std::vector<unsigned char> joined(rec.size(), 0);
                std::vector<const unsigned char*> src(dst.begin(), dst.end());
                joinBands(joined.data(), src.data(), cols, nb, sb);
                ASSERT_EQ(0, std::memcmp(joined.data(), rec.data(), static_cast<size_t>(cols * nb * sb)));
            }
}

// Tile lines: several records of a tile, each going to its own band-lines
// at a column offset, the way tiles of a row fill the cache.
TEST(SplitBands, RowsGoToTheirOwnLinesAtTheColumn) {
    for (int sb : {1, 2})
        for (int nb : {3, 4, 20}) {
            const int rows = 5;
            const int64_t cols = 37, stride = cols * nb * sb + 11, at = 3 * sb, lineBytes = at + cols * sb + 4;
            auto rec = pattern(static_cast<size_t>(stride * rows), static_cast<unsigned>(nb + sb));
            std::vector<std::vector<unsigned char>> lines(rows * nb, std::vector<unsigned char>(lineBytes, 0xEE));
            std::vector<unsigned char*> dst;
            for (auto& l : lines) dst.push_back(l.data());
            splitBandRows(rec.data(), stride, rows, dst.data(), at, cols, nb, sb);
            for (int r = 0; r < rows; ++r)
                for (int b = 0; b < nb; ++b) {
                    const auto& line = lines[r * nb + b];
                    for (int64_t k = 0; k < at; ++k) ASSERT_EQ(0xEE, line[k]);
                    for (int64_t x = 0; x < cols; ++x)
                        ASSERT_EQ(0, std::memcmp(&line[at + x * sb], &rec[r * stride + (x * nb + b) * sb], sb))
                            << "nb " << nb << " row " << r << " band " << b << " x " << x;
                    for (int64_t k = at + cols * sb; k < lineBytes; ++k) ASSERT_EQ(0xEE, line[k]);
                }
        }
}

}  // namespace
