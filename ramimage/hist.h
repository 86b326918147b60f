// Per-band histograms and statistics of RAM images.
#pragma once
#include <vector>

#include "ramimage/ramimage.h"

// Value bins of a pixel type: 2, 16, 256 for 1BIT, 4BITS, BYTE; 0 otherwise.
int histBins(int pixel);

std::vector<HistRecord> createHist(int nbands, int nbins);
void deleteHist(RAMImage* img);
void initHist(HistRecord& h);
void invalidateHist(HistRecord& h);
// Counts samples 0, step, 2*step, ... below n of one band-line.  Bit and
// nibble order follow `msbf` as the line readers do.
void calcHist(HistRecord& h, int pixel, int n, int step, const void* samples, int msbf = 0);
void completeHist(HistRecord& h);
double getHistMean(HistRecord& h);
double getHistStd(HistRecord& h);

// Whole-image histograms of every band; null when none can be made.
HistRecord* ramImageHist(RAMImage* img, int update, int dx, int dy);

// One run of a region: columns x0 .. x1-1 of line y.
struct SegmentRun {
    int x0, y, x1;
};
// Histograms of the pixels where band 0 of `mask` is not 0 (or inside the
// runs).  With replace the result also becomes the image's histograms.
// Returns false (and prints why) on failure.
bool ramImageHistWithMask(RAMImage* img, RAMImage* mask, int dx, int dy, int replace,
                          std::vector<HistRecord>& out);
bool ramImageHistWithROI(RAMImage* img, const std::vector<SegmentRun>& runs, int replace,
                         std::vector<HistRecord>& out);

int ramImageStats(RAMImage* img, int band, double* std, double* mean, double* min, double* max);
int imgHist(int fd, const ImageHead* head, HistRecord* records);
