// Histograms: running sums, extremes and, for 1-, 4- and 8-bit samples, a
// count per value.
#include "ramimage/hist.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <new>

#include "formats/formats.h"
#include "init/output.h"
#include "ramimage/convert.h"
#include "ramimage/samples.h"

namespace {

void resetRecord(HistRecord& h) {
    h.sum = h.sumSq = h.count = h.mean = h.std = 0;
    h.min = DBL_MAX;
    h.max = -DBL_MAX;
    h.valid = 0;
    std::fill(h.bins.begin(), h.bins.end(), 0u);
}

// Folds a table of value counts (values 0..n-1) into the sums and extremes.
// Exact: the sums are of integers far below 2^53 per line.
void foldBins(HistRecord& h, const uint32_t* counts, int n) {
    double sum = 0, sumSq = 0;
    for (int v = 0; v < n; ++v) {
        if (!counts[v]) continue;
        double c = counts[v];
        sum += c * v;
        sumSq += c * v * v;
        if (v < h.min) h.min = v;
        if (v > h.max) h.max = v;
        h.bins[v] += counts[v];
    }
    h.sum += sum;
    h.sumSq += sumSq;
}

void countBytes(HistRecord& h, const unsigned char* p, int64_t n, int64_t step) {
    // Four tables so that runs of equal values do not serialise on one
    // counter.
    uint32_t t[4][256] = {};
    int64_t i = 0;
    if (step == 1) {
        for (; i + 4 <= n; i += 4) {
            ++t[0][p[i]];
            ++t[1][p[i + 1]];
            ++t[2][p[i + 2]];
            ++t[3][p[i + 3]];
        }
        for (; i < n; ++i) ++t[0][p[i]];
    } else {
        for (; i < n; i += step) ++t[0][p[i]];
    }
    for (int v = 0; v < 256; ++v) t[0][v] += t[1][v] + t[2][v] + t[3][v];
    foldBins(h, t[0], 256);
}

template <typename T>
void countValues(HistRecord& h, const unsigned char* p, int64_t n, int64_t step) {
    double sum = 0, sumSq = 0, mn = h.min, mx = h.max;
    for (int64_t i = 0; i < n; i += step) {
        double v = static_cast<double>(loadSample<T>(p, i));
        sum += v;
        sumSq += v * v;
        mn = v < mn ? v : mn;
        mx = v > mx ? v : mx;
    }
    h.sum += sum;
    h.sumSq += sumSq;
    h.min = mn;
    h.max = mx;
}

HistRecord* histOfImage(RAMImage* img) { return img->hist.empty() ? nullptr : img->hist.data(); }

bool makeRecords(std::vector<HistRecord>& out, int nbands, int nbins) {
    try {
        out = createHist(nbands, nbins);
    } catch (const std::bad_alloc&) {
        out.clear();
    }
    if (out.empty()) {
        zarn::conPuts(zarn::kStderr, "Error in createHist.\n");
        return false;
    }
    return true;
}

// Counts gathered values of a line: floats for samples wider than 8 bits,
// bytes otherwise.
void countGathered(HistRecord& h, bool wide, const std::vector<float>& f, const std::vector<unsigned char>& b,
                   int n) {
    if (n <= 0) return;
    if (wide)
        calcHist(h, PIX_FLOAT, n, 1, f.data());
    else
        calcHist(h, PIX_BYTE, n, 1, b.data());
}

}  // namespace

int histBins(int pixel) {
    switch (pixel) {
    case PIX_1BIT: return 2;
    case PIX_4BITS: return 16;
    case PIX_BYTE: return 256;
    default: return 0;
    }
}

std::vector<HistRecord> createHist(int nbands, int nbins) {
    std::vector<HistRecord> v;
    if (nbands < 1 || nbins < 0) return v;
    v.resize(static_cast<size_t>(nbands));
    for (auto& h : v) {
        h.nbins = nbins;
        h.bins.assign(static_cast<size_t>(nbins), 0u);
        resetRecord(h);
    }
    return v;
}

void deleteHist(RAMImage* img) {
    if (!img) return;
    img->hist.clear();
    img->hist.shrink_to_fit();
}

void initHist(HistRecord& h) { resetRecord(h); }

void invalidateHist(HistRecord& h) { h.valid = 0; }

void calcHist(HistRecord& h, int pixel, int n, int step, const void* samples, int msbf) {
    if (n <= 0 || !samples) return;
    if (step < 1) step = 1;
    auto* p = static_cast<const unsigned char*>(samples);
    switch (pixel) {
    case PIX_1BIT:
    case PIX_4BITS: {
        uint32_t t[16] = {};
        for (int64_t x = 0; x < n; x += step) {
            ++t[pixel == PIX_1BIT ? bitAt(p, x, msbf) : nibbleAt(p, x, msbf)];
        }
        if (static_cast<int>(h.bins.size()) >= (pixel == PIX_1BIT ? 2 : 16))
            foldBins(h, t, pixel == PIX_1BIT ? 2 : 16);
        break;
    }
    case PIX_BYTE:
        if (h.bins.size() >= 256)
            countBytes(h, p, n, step);
        else
            countValues<uint8_t>(h, p, n, step);
        break;
    case PIX_SBYTE: countValues<int8_t>(h, p, n, step); break;
    case PIX_SHORT: countValues<int16_t>(h, p, n, step); break;
    case PIX_USHORT: countValues<uint16_t>(h, p, n, step); break;
    case PIX_LONG: countValues<int32_t>(h, p, n, step); break;
    case PIX_ULONG: countValues<uint32_t>(h, p, n, step); break;
    case PIX_FLOAT: countValues<float>(h, p, n, step); break;
    default: return;
    }
    h.count += (n - 1) / step + 1;
}

void completeHist(HistRecord& h) {
    if (h.count > 0) {
        h.mean = h.sum / h.count;
        double var = h.sumSq / h.count - h.mean * h.mean;
        h.std = var > 0 ? std::sqrt(var) : 0.0;
    } else {
        h.mean = h.std = 0;
    }
}

double getHistMean(HistRecord& h) {
    completeHist(h);
    return h.mean;
}

double getHistStd(HistRecord& h) {
    completeHist(h);
    return h.std;
}

HistRecord* ramImageHist(RAMImage* img, int update, int dx, int dy) {
    if (!img) return nullptr;
    const ImageHead& hd = img->head;
    if (dx < 1) dx = 1;
    if (dy < 1) dy = 1;
    if (!img->hist.empty() && update == 0 &&
        std::all_of(img->hist.begin(), img->hist.end(), [](const HistRecord& h) { return h.valid; }))
        return histOfImage(img);
    if (update == 2) deleteHist(img);
    if (img->hist.size() != static_cast<size_t>(hd.nbands)) {
        std::vector<HistRecord> fresh;
        if (!makeRecords(fresh, hd.nbands, histBins(hd.pixel))) return nullptr;
        img->hist = std::move(fresh);
    }
    // Records not valid start from zero, so a second scan never adds twice.
    for (auto& h : img->hist)
        if (!h.valid) resetRecord(h);
    if (hd.imgid == IMG_FFT && img->fd >= 0 && imgHist(img->fd, &hd, img->hist.data())) {
        for (auto& h : img->hist) h.valid = 1;
        return histOfImage(img);
    }
    RAMImagePin pin(img);
    auto count = [&](int line, int band) {
        HistRecord& h = img->hist[band];
        const unsigned char* p = img->getLineProc(img, line, band, 1);
        calcHist(h, hd.pixel, hd.columns, dx, p, hd.msbf);
    };
    if (hd.imgid == IMG_BSQ || hd.imgid == IMG_E74BSQ || hd.imgid == IMG_MBSQ) {
        for (int b = 0; b < hd.nbands; ++b)
            if (!img->hist[b].valid)
                for (int l = 0; l < hd.rows; l += dy) count(l, b);
    } else {
        for (int l = 0; l < hd.rows; l += dy)
            for (int b = 0; b < hd.nbands; ++b)
                if (!img->hist[b].valid) count(l, b);
    }
    for (auto& h : img->hist) h.valid = 1;
    return histOfImage(img);
}

bool ramImageHistWithMask(RAMImage* img, RAMImage* mask, int dx, int dy, int replace,
                          std::vector<HistRecord>& out) {
    if (!img || !mask) return false;
    const ImageHead& hd = img->head;
    if (dx < 1) dx = 1;
    if (dy < 1) dy = 1;
    if (replace) deleteHist(img);
    if (!makeRecords(out, hd.nbands, histBins(hd.pixel))) return false;
    const bool wide = pixelBits(hd.pixel) > 8;
    std::vector<unsigned char> m, bytes, gb;
    std::vector<float> floats, gf;
    std::vector<int> cols;
    try {
        m.resize(static_cast<size_t>(hd.columns));
        (wide ? floats.resize(static_cast<size_t>(hd.columns)) : bytes.resize(static_cast<size_t>(hd.columns)));
        (wide ? gf.resize(static_cast<size_t>(hd.columns)) : gb.resize(static_cast<size_t>(hd.columns)));
        cols.reserve(static_cast<size_t>(hd.columns));
    } catch (const std::bad_alloc&) {
        zarn::conPuts(zarn::kStderr, "Error in ramImageHistWithMask - malloc...\n");
        return false;
    }
    RAMImagePin pin(img);
    for (int l = 0; l < hd.rows; l += dy) {
        // A mask smaller than the image covers only its own extent: lines and
        // columns beyond it read as 0 and are left out.
        getByteBILData(mask, l, 0, hd.columns, 0, m.data());
        cols.clear();
        for (int x = 0; x < hd.columns; x += dx)
            if (m[x]) cols.push_back(x);
        if (cols.empty()) continue;
        const int n = static_cast<int>(cols.size());
        for (int band = 0; band < hd.nbands; ++band) {
            if (wide) {
                getFloatBILData(img, l, 0, hd.columns, band, floats.data());
                for (int i = 0; i < n; ++i) gf[i] = floats[cols[i]];
            } else {
                getByteBILData(img, l, 0, hd.columns, band, bytes.data());
                for (int i = 0; i < n; ++i) gb[i] = bytes[cols[i]];
            }
            countGathered(out[band], wide, gf, gb, n);
        }
    }
    for (auto& h : out) h.valid = 1;
    if (replace) img->hist = out;
    return true;
}

bool ramImageHistWithROI(RAMImage* img, const std::vector<SegmentRun>& runs, int replace,
                         std::vector<HistRecord>& out) {
    if (!img) return false;
    const ImageHead& hd = img->head;
    if (replace) deleteHist(img);
    if (!makeRecords(out, hd.nbands, histBins(hd.pixel))) return false;
    const bool wide = pixelBits(hd.pixel) > 8;
    std::vector<float> f;
    std::vector<unsigned char> b;
    RAMImagePin pin(img);
    for (const SegmentRun& r : runs) {
        if (r.y < 0 || r.y >= hd.rows || r.x0 >= hd.columns - 1 || r.x1 < 1) continue;
        int x0 = std::max(r.x0, 0), x1 = std::min(r.x1, hd.columns);
        int n = x1 - x0;
        if (n <= 0) continue;
        f.resize(static_cast<size_t>(n));
        b.resize(static_cast<size_t>(n));
        for (int band = 0; band < hd.nbands; ++band) {
            if (wide)
                getFloatBILData(img, r.y, x0, n, band, f.data());
            else
                getByteBILData(img, r.y, x0, n, band, b.data());
            countGathered(out[band], wide, f, b, n);
        }
    }
    for (auto& h : out) h.valid = 1;
    if (replace) img->hist = out;
    return true;
}

int ramImageStats(RAMImage* img, int band, double* std, double* mean, double* min, double* max) {
    HistRecord* hs = ramImageHist(img, 0, 1, 1);
    if (!hs) return 0;
    double s, m, mn, mx;
    const ImageHead& hd = img->head;
    if (hd.nindices >= 1 && hs[0].nbins > 0 && band >= 0) {
        int c = band % 3;
        double sum = 0, sumSq = 0;
        mn = DBL_MAX;
        mx = -DBL_MAX;
        int n = std::min(hs[0].nbins, 256);
        for (int i = 0; i < n; ++i) {
            double v = hd.colorTable[i][c];
            sum += v * hs[0].bins[i];
            sumSq += v * v * hs[0].bins[i];
            mn = std::min(mn, v);
            mx = std::max(mx, v);
        }
        double cnt = hs[0].count;
        m = cnt > 0 ? sum / cnt : 0;
        double var = cnt > 0 ? sumSq / cnt - m * m : 0;
        s = var > 0 ? std::sqrt(var) : 0;
    } else {
        int b = band < 0 ? 0 : band % hd.nbands;
        HistRecord& h = hs[b];
        m = getHistMean(h);
        s = getHistStd(h);
        mn = h.count > 0 ? h.min : 0;
        mx = h.count > 0 ? h.max : 0;
    }
    if (std) *std = s;
    if (mean) *mean = m;
    if (min) *min = mn;
    if (max) *max = mx;
    return 1;
}

int imgHist(int fd, const ImageHead* head, HistRecord* records) {
    if (!head || !records || head->imgid != IMG_FFT) return 0;
    return getFFTHist(fd, records);
}
