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
    std::optional<bool> autoBracket;  // the camera's own mark: shot in auto bracketing
    std::optional<int> sequence;      // its place in the camera's bracket or burst, from 1
    std::string unreadable;  // why the file cannot be an image (empty: it may be)
};

// The images of `dir` that the loader reads, with their EXIF; a file whose
// start is no picture of its format (empty, cut to nothing, another kind) is
// listed with why. Throws Error when the folder cannot be read.
std::vector<Shot> ReadShots(const std::string& dir);

// A shoot in RAW+JPEG has each shot twice, by one name: the raw is kept and
// its twin of another format dropped. Returns how many were dropped.
int KeepRawsOfTwins(std::vector<Shot>& shots);

struct BracketSet {
    std::string name;  // the first file's base name (made unique)
    std::vector<std::string> files;
    std::string problem;  // a file that cannot be read, kept out of the sets: why
};

// Bracket sets: shots with a time in time order (then by name), a set ending
// where the next shot comes more than `gap` seconds later, where its
// exposure repeats one already in the set (the camera's sequence starting
// again), where the camera's marks say so (its count of the shots of a
// bracket starting again or skipping; its auto-bracket mark coming or going,
// as for a single shot beside a bracket), or at `setSize` images; shots
// without a time in name order,
// `setSize` at a time. Unreadable shots join no set: each comes last as a
// set of its own that carries the problem.
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
    bool vignetting = false;        // with it, the database's vignetting correction too
    SaveOptions save;
    std::string tag = "Aligned";
    bool prepend = false;
};

struct ImageResult {
    std::string file;
    std::string outcome;  // "master", "aligned", "approximate", "left unaligned", "unreadable"
    double confidence = 0;
    std::string message;
};

struct SetResult {
    enum class Status { Aligned, Unaligned, Skipped, Failed };
    std::string name;
    std::vector<std::string> files;
    Status status = Status::Failed;
    // For Skipped: what the run that did the set found (never Skipped).
    Status earlier = Status::Failed;
    std::string error;  // for Failed (also with images written, when some could not be read)
    std::vector<ImageResult> images;
    std::vector<std::string> outputs;
    // What the set came to: the status, or for a skipped set the earlier one.
    Status outcome() const;
};

// What would stop a batch before it writes anything, over every set of the
// shoot (empty when nothing): two sets' outputs on one path, or an output
// that is one of the images read (whatever names lead to it).
std::string BatchOutputProblem(const std::vector<BracketSet>& allSets, const std::vector<std::string>& allFiles,
                               const BatchOptions& options);

// Aligns every set automatically and writes it, `jobs` at a time (at most
// that many sets in memory). A set that this program wrote before (a record
// under the output folder's ".vantrel") and whose outputs are newer than its
// inputs is skipped unless `overwrite`, keeping the outcome it had; other
// files in an output's place are replaced only with `overwrite`, and a source
// never. A set aligns the images it can read and reports the others; a
// failing set never stops the rest. `done` gets each result in set order as
// soon as it and every one before it are finished, on the calling thread,
// with the number finished so far.
void RunBatch(const std::vector<BracketSet>& sets, const BatchOptions& options,
              const std::function<void(const SetResult& result, int finished)>& done);

// The text on one line: newlines and tabs as blanks, so that a message keeps
// one set to a line of the report.
std::string OneLineOf(std::string text);

// The report: one tab-separated line per set, and the same as CSV rows (one
// per image; a failed or skipped set has one row).
std::string ReportLine(const SetResult& result);
std::string CsvHeader();
std::string CsvRows(const SetResult& result);

}  // namespace vantrel
