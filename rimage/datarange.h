// Data ranges: "@" followed by up to three comma-separated fields for
// columns, rows and bands.  A missing, empty, "*" or ":" field covers the
// whole axis; "n" one index; "a:b" the indices a to b (0-based).
#pragma once

struct DataRange {
    int col0, col1, row0, row1, band0, band1;
};

// Parses `text` against the sizes; false when the text does not begin with
// "@" or any field is malformed or out of range.
bool parseDataRange(const char* text, int columns, int rows, int bands, DataRange* out);
