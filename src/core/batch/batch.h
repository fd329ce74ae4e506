#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "lens/load_correction.h"
#include "save/image_writer.h"

namespace vantrel {

// One image of a shoot, with what grouping it into bracket sets needs.
struct Shot {
    std::string path;
    std::optional<double> time;  // seconds, sub-seconds included
    std::optional<double> bias, exposureTime;
};

// The images of `dir` that the loader reads, with their EXIF. Throws Error
// when the folder cannot be read.
std::vector<Shot> ReadShots(const std::string& dir);

struct BracketSet {
    std::string name;  // the first file's base name (made unique)
    std::vector<std::string> files;
};

// Bracket sets: shots with a time in time order (then by name), a set ending
// where the next shot comes more than `gap` seconds later, where its
// exposure repeats one already in the set (the camera's sequence starting
// again), or at `setSize` images; shots without a time in name order,
// `setSize` at a time.
std::vector<BracketSet> GroupShots(std::vector<Shot> shots, int setSize, double gap);

struct BatchOptions {
    std::string outputDir;
    bool flat = false;       // every output straight into outputDir, else one folder per set
    bool overwrite = false;  // redo sets whose outputs are already there
    int jobs = 0;            // sets side by side, each on one thread; 1: one set at a time on every core; 0: the cores
    int master = 0;          // within each set; 0: the usual choice by luminance
    double fovDegrees = 0;   // 0: the master's EXIF, else estimated
    bool scaling = true;
    std::optional<TLensCorrection> lens;
    bool lensFromDatabase = false;  // each set's first image's EXIF
    SaveOptions save;
    std::string tag = "Aligned";
    bool prepend = false;
};

struct ImageResult {
    std::string file;
    std::string outcome;  // "master", "aligned", "approximate", "left unaligned"
    double confidence = 0;
    std::string message;
};

struct SetResult {
    enum class Status { Aligned, Unaligned, Skipped, Failed };
    std::string name;
    std::vector<std::string> files;
    Status status = Status::Failed;
    std::string error;  // for Failed
    std::vector<ImageResult> images;
    std::vector<std::string> outputs;
};

// Aligns every set automatically and writes it, `jobs` at a time (at most
// that many sets in memory). A set whose outputs all exist and are newer
// than its inputs is skipped unless `overwrite`; a set with an unreadable
// file fails and the rest go on. `done` gets each result in set order as
// soon as it and every one before it are finished, on the calling thread,
// with the number finished so far.
void RunBatch(const std::vector<BracketSet>& sets, const BatchOptions& options,
              const std::function<void(const SetResult& result, int finished)>& done);

// The report: one tab-separated line per set, and the same as CSV rows (one
// per image; a failed or skipped set has one row).
std::string ReportLine(const SetResult& result);
std::string CsvHeader();
std::string CsvRows(const SetResult& result);

}  // namespace vantrel
