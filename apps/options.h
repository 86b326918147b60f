// The option table and the band and number list parsers shared by the
// processing applications.
#pragma once

// One option row: the literal word ("-in") and, after parsing, its value
// (pointing into the caller's argument vector).  Tables end with a null name.
struct OptionTable {
    const char* name;
    const char* value;
};

// Fills the table's values from (name, value) pairs; returns the number of
// words that matched no row (an option given twice counts the second time).
int parseConfig(OptionTable* table, int argc, const char* const* argv);
// Value of a named row, null when unset or absent.
const char* optionValue(const OptionTable* table, const char* name);

// Case-insensitive comparison; a null text sorts first, two nulls are equal.
int stricmp(const char* a, const char* b);

// '1,3,5-8' -> 1-based band numbers; the count, or -1.
int parseBandDef(const char* text, int* bands, int capacity);
// 'IN' or 'IN:OUT'; the count, or 0.
int parseBandsDef(int* in, int* out, int capacity, const char* text);
// Several specifications separated by ';', ',' or ' ', checked against the
// band counts and converted to 0-based; the count, or 0 on error.
int parseBands(int nin, int nout, int* in, int* out, const char* text);
// The number reader of parseBandDef: reads a decimal number at *pos.
int getNextBand(const char* text, int* pos, int* value);

// Comma-separated numbers; the count present in the text (may exceed the
// capacity: the extras are counted, not stored), 0 for a null text.
int passFloats(const char* text, float* values, int capacity);
int passLongs(const char* text, long* values, int capacity);

constexpr int kMaxBands = 8192;
