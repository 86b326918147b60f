// Entry points of the processing applications run as rimage subcommands.
// Each takes its program name and the words after the subcommand, and
// returns 1 on success, 2 when it printed its usage, 0 on failure (the
// reason already printed on standard error).
#pragma once

using AppEntry = int (*)(const char* prog, int argc, const char* const* argv);

int rimgCalcAp(const char* prog, int argc, const char* const* argv);
int classifyAp(const char* prog, int argc, const char* const* argv);
int cropRimgAp(const char* prog, int argc, const char* const* argv);
int dataRimgAp(const char* prog, int argc, const char* const* argv);
int gdistAp(const char* prog, int argc, const char* const* argv);
int egvAp(const char* prog, int argc, const char* const* argv);
int gFFTransAp(const char* prog, int argc, const char* const* argv);
int gconvAp(const char* prog, int argc, const char* const* argv);
int georefRimgAp(const char* prog, int argc, const char* const* argv);
int gisoAp(const char* prog, int argc, const char* const* argv);
int statRimgAp(const char* prog, int argc, const char* const* argv);
int gtopAp(const char* prog, int argc, const char* const* argv);
int gdemAp(const char* prog, int argc, const char* const* argv);
int pcalcAp(const char* prog, int argc, const char* const* argv);
int gptableApp(const char* prog, int argc, const char* const* argv);
int rfmRimgAp(const char* prog, int argc, const char* const* argv);
int gRotateAp(const char* prog, int argc, const char* const* argv);
int sectRimgAp(const char* prog, int argc, const char* const* argv);
int sysMetricAp(const char* prog, int argc, const char* const* argv);
int statInfoAp(const char* prog, int argc, const char* const* argv);
int copyRimgAp(const char* prog, int argc, const char* const* argv);
