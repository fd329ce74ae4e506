// vantrel-align: the alignment and "Save All" of the main window, from the
// command line. Argument parsing only; all the work is the core's.
#include <malloc.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <numbers>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "autoalign/auto_align.h"
#include "batch/batch.h"
#include "camera/camera_identity.h"
#include "formats/image_file.h"
#include "formats/raw_codec.h"
#include "formats/source_metadata.h"
#include "lens/lens_controls.h"
#include "lensdb/lens_database.h"
#include "lens/lens_profile.h"
#include "metadata/jpeg_metadata.h"
#include "save/image_writer.h"
#include "save/output_naming.h"
#include "util/error.h"
#include "util/file_io.h"
#include "util/memory.h"
#include "util/number_format.h"
#include "workspace/alignment_grid.h"
#include "workspace/workspace.h"

namespace {

using namespace vantrel;

constexpr const char* kUsage =
    "Usage: vantrel-align [options] IMAGE1 [IMAGE2 ...]\n"
    "Aligns the bracketed exposures of one scene (up to 32) and writes them as \"Save All\" does.\n"
    "   or: vantrel-align --batch DIR -o OUTDIR [options]: every bracket set of a folder, automatically\n"
    "\n"
    "  --cp N:X1,Y1,X2,Y2   control points CP1 and CP2 of image N, source pixels (decimals allowed);\n"
    "                       images without --cp keep the starting points a fresh load gives\n"
    "  --auto               place every image's control points automatically before writing;\n"
    "                       exit status 3 when an image could not be aligned (it is written unaligned);\n"
    "                       an image only approximately aligned gets a warning line\n"
    "  --fov DEG|exif       field of view across the longer side of the master (0 = none, the default),\n"
    "                       or the one the master's EXIF records\n"
    "  --master N           master image; default: the automatic choice by luminance\n"
    "  --no-scaling         like unticking \"Scaling\"\n"
    "  --lens FILE.pfl      lens profile applied at load, as the lens window's OK would\n"
    "  --lens-db            the lens correction the lens database holds for the first image's camera,\n"
    "                       lens and focal length (from its EXIF and makers' note), applied at load\n"
    "  --lens-db-vignetting with --lens-db: also brighten the corners by the database's vignetting data\n"
    "                       for each image's focal length and aperture\n"
    "  --format FORMAT      jpg (the default; tif for camera raw files), bmp, tif or png; tif and png keep\n"
    "                       the metadata losslessly\n"
    "  --depth 8|16|float   samples written: default each image's own depth (16 for raw); tif takes all,\n"
    "                       png 8 or 16, jpg and bmp 8\n"
    "  --raw linear|srgb    how camera raw files are developed (16 bits, camera white balance, sRGB\n"
    "                       primaries): linear for HDR merging (the default) or with the sRGB curve\n"
    "  --quality Q          1..100, default 100\n"
    "  --tag TEXT           default \"Aligned\"\n"
    "  --prepend            tag before the base name\n"
    "  --borders T,L,B,R    add borders\n"
    "  --crop               cut every output to the largest rectangle all images cover (borders ignored)\n"
    "  --alpha              tif and png: transparent where an image has no pixel\n"
    "  -o, --output-dir DIR default: the current directory\n"
    "  --overwrite          replace existing outputs (otherwise refuse, naming them); never an image read\n"
    "  --info               print, per image, its size, luminance and metadata summary; write nothing\n"
    "  --print-alignment    print the alignment data grid's rows and the control points\n"
    "  --batch DIR          find the bracket sets among DIR's images (by EXIF time and exposure) and align\n"
    "                       each automatically into a folder of its own under the output directory\n"
    "  --set-size N         images a set holds at most, 1..32 (default: no limit below 32)\n"
    "  --gap SECONDS        a longer pause between shots starts a new set (default 2)\n"
    "  --jobs J             sets aligned side by side (default: the cores); 1: one set at a time on every core\n"
    "  --flat               outputs straight into the output directory, not one folder per set\n"
    "  --sets FILE          only the sets FILE names (the first column of --dry-run's lines), for shards;\n"
    "                       a name the folder does not hold is an error\n"
    "  --dry-run            print the sets found, one a line, and write nothing\n"
    "  --report FILE.csv    the result of every image as CSV\n"
    "  --help, --version\n";

// The exit status when an image could not be aligned automatically.
constexpr int kNotAligned = 3;

struct UsageError {
    std::string message;
};
struct Failure {
    std::string message;
};

struct Options {
    std::vector<std::string> images;
    struct Points {
        double x1, y1, x2, y2;
    };
    std::vector<std::optional<Points>> cp;
    double fov = 0;
    bool fovFromExif = false, autoAlign = false;
    int master = 0;
    bool scaling = true;
    std::string lens;
    bool lensDb = false, lensDbVignetting = false;
    ImageKind format = ImageKind::Jpeg;
    bool formatGiven = false;
    std::optional<SampleDepth> depth;
    RawDevelopment raw = RawDevelopment::Linear;
    int quality = 100;
    bool crop = false, alpha = false;
    std::string tag = "Aligned";
    bool prepend = false;
    Borders borders;
    std::string outputDir;
    bool overwrite = false, info = false, printAlignment = false;
    // Batch runs.
    std::string batch, setsFile, report;
    int setSize = kMaxImages, jobs = 0;
    double gap = 2;
    bool flat = false, dryRun = false;
    bool cpGiven = false;
};

// Whole numbers and lists of them; anything else is a bad value.
long long ParseInteger(const std::string& text, const std::string& option) {
    std::size_t used = 0;
    long long value = 0;
    try {
        value = std::stoll(text, &used);
    } catch (...) {
        used = 0;
    }
    if (used == 0 || used != text.size()) throw Failure{"bad value for " + option + ": \"" + text + "\""};
    return value;
}

std::vector<long long> ParseList(const std::string& text, const std::string& option, std::size_t count) {
    std::vector<long long> values;
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, ',')) values.push_back(ParseInteger(part, option));
    if (values.size() != count || (!text.empty() && text.back() == ','))
        throw Failure{"bad value for " + option + ": \"" + text + "\" (expected " + std::to_string(count) + " numbers)"};
    return values;
}

long long InRange(long long v, long long low, long long high, const std::string& option) {
    if (v < low || v > high)
        throw Failure{option + " must be between " + std::to_string(low) + " and " + std::to_string(high)};
    return v;
}

// Options that only switch something on (or, for --no-scaling, off).
struct Switch {
    std::string_view name;
    bool Options::*member;
    bool value;
};
constexpr Switch kSwitches[] = {
    {"--auto", &Options::autoAlign, true},         {"--no-scaling", &Options::scaling, false},
    {"--lens-db", &Options::lensDb, true},         {"--crop", &Options::crop, true},
    {"--lens-db-vignetting", &Options::lensDbVignetting, true},
    {"--alpha", &Options::alpha, true},            {"--prepend", &Options::prepend, true},
    {"--overwrite", &Options::overwrite, true},    {"--info", &Options::info, true},
    {"--print-alignment", &Options::printAlignment, true}, {"--flat", &Options::flat, true},
    {"--dry-run", &Options::dryRun, true},
};

// Whether a folder to batch holds a camera raw file.
bool FolderHoldsRaw(const std::string& dir) {
    std::error_code ec;
    for (std::filesystem::directory_iterator it(PathFromUtf8(dir), ec), end; !ec && it != end; it.increment(ec))
        if (ImageKindOf(it->path().string()) == ImageKind::Raw) return true;
    return false;
}

Options Parse(int argc, char** argv) {
    Options o;
    std::vector<std::string> cpTexts;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw UsageError{arg + " needs a value"};
            return argv[++i];
        };
        const auto flag = std::find_if(std::begin(kSwitches), std::end(kSwitches),
                                       [&](const Switch& each) { return arg == each.name; });
        if (flag != std::end(kSwitches)) {
            o.*(flag->member) = flag->value;
        } else if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            std::exit(0);
        } else if (arg == "--version") {
            std::cout << "vantrel-align 2.0\n";
            std::exit(0);
        } else if (arg == "--cp") {
            cpTexts.push_back(value());
        } else if (arg == "--fov") {
            const std::string text = value();
            if (text == "exif") {
                o.fovFromExif = true;
                continue;
            }
            const auto v = ParseProfileNumber(text);
            if (!v || !(*v >= 0 && *v <= 179))
                throw Failure{"--fov must be a number of degrees from 0 to 179, or exif"};
            o.fov = static_cast<double>(*v);
        } else if (arg == "--master") {
            o.master = static_cast<int>(InRange(ParseInteger(value(), arg), 1, kMaxImages, arg));
        } else if (arg == "--lens") {
            o.lens = value();
        } else if (arg == "--format") {
            const ImageFormat* f = FormatByCommandName(value());
            if (!f) {
                std::string names;
                for (const ImageFormat& each : ImageFormats())
                    if (each.writable()) names += (names.empty() ? "" : ", ") + std::string(each.commandName);
                throw Failure{"--format must be one of " + names};
            }
            o.format = f->kind;
            o.formatGiven = true;
        } else if (arg == "--depth") {
            const std::string text = value();
            if (text == "8") o.depth = SampleDepth::U8;
            else if (text == "16") o.depth = SampleDepth::U16;
            else if (text == "float") o.depth = SampleDepth::Float;
            else throw Failure{"--depth must be 8, 16 or float"};
        } else if (arg == "--raw") {
            const std::string text = value();
            if (text == "linear") o.raw = RawDevelopment::Linear;
            else if (text == "srgb") o.raw = RawDevelopment::Srgb;
            else throw Failure{"--raw must be linear or srgb"};
        } else if (arg == "--quality") {
            o.quality = static_cast<int>(InRange(ParseInteger(value(), arg), 1, 100, arg));
        } else if (arg == "--tag") {
            o.tag = value();
        } else if (arg == "--borders") {
            const auto b = ParseList(value(), arg, 4);
            for (long long v : b) InRange(v, -100000, 100000, arg);
            o.borders = {static_cast<int>(b[0]), static_cast<int>(b[1]), static_cast<int>(b[2]), static_cast<int>(b[3])};
        } else if (arg == "-o" || arg == "--output-dir") {
            o.outputDir = value();
        } else if (arg == "--batch") {
            o.batch = value();
        } else if (arg == "--set-size") {
            o.setSize = static_cast<int>(InRange(ParseInteger(value(), arg), 1, kMaxImages, arg));
        } else if (arg == "--gap") {
            const auto v = ParseProfileNumber(value());
            if (!v || !(*v >= 0 && *v <= 1e6)) throw Failure{"--gap must be a number of seconds"};
            o.gap = static_cast<double>(*v);
        } else if (arg == "--jobs") {
            o.jobs = static_cast<int>(InRange(ParseInteger(value(), arg), 1, 256, arg));
        } else if (arg == "--sets") {
            o.setsFile = value();
        } else if (arg == "--report") {
            o.report = value();
        } else if (arg.size() > 1 && arg[0] == '-') {
            throw UsageError{"unknown option " + arg};
        } else {
            o.images.push_back(arg);
        }
    }
    o.cpGiven = !cpTexts.empty();
    if (o.lensDbVignetting && !o.lensDb) throw UsageError{"--lens-db-vignetting goes with --lens-db"};
    // Developed raw files are 16-bit: a format that keeps them, unless one is asked for.
    const bool rawInput = std::any_of(o.images.begin(), o.images.end(),
                                      [](const std::string& p) { return ImageKindOf(p) == ImageKind::Raw; });
    if (!o.formatGiven && (rawInput || (!o.batch.empty() && FolderHoldsRaw(o.batch)))) o.format = ImageKind::Tiff;
    if (o.depth && static_cast<int>(*o.depth) > static_cast<int>(FormatOf(o.format).deepest))
        throw Failure{std::string("--depth ") + (*o.depth == SampleDepth::Float ? "float" : "16") + ": " +
                      FormatOf(o.format).name + " holds at most " + DepthName(FormatOf(o.format).deepest) +
                      " samples; use --format tif"};
    if (!o.batch.empty()) {
        if (!o.images.empty()) throw UsageError{"--batch takes a folder, not images"};
        if (o.cpGiven || o.info || o.printAlignment) throw UsageError{"--cp, --info and --print-alignment have no place in a batch"};
        if (!o.dryRun && o.outputDir.empty()) throw UsageError{"--batch needs an output directory (-o)"};
        return o;
    }
    if (o.dryRun || !o.setsFile.empty() || !o.report.empty() || o.flat)
        throw UsageError{"--dry-run, --sets, --report and --flat go with --batch"};
    if (o.images.empty()) throw UsageError{"no image given"};
    if (o.images.size() > kMaxImages) throw UsageError{"at most " + std::to_string(kMaxImages) + " images"};
    o.cp.resize(o.images.size());
    for (const std::string& text : cpTexts) {
        const auto colon = text.find(':');
        if (colon == std::string::npos) throw Failure{"bad value for --cp: \"" + text + "\" (expected N:X1,Y1,X2,Y2)"};
        const long long n = ParseInteger(text.substr(0, colon), "--cp");
        if (n < 1 || n > static_cast<long long>(o.images.size()))
            throw Failure{"--cp names image " + std::to_string(n) + ", which is not given"};
        if (o.cp[n - 1]) throw Failure{"--cp is given twice for image " + std::to_string(n)};
        std::vector<double> p;
        std::stringstream in(text.substr(colon + 1));
        std::string part;
        while (std::getline(in, part, ',')) {
            const auto v = ParseProfileNumber(part);
            if (!v || part.find(',') != std::string::npos || !(std::fabs(static_cast<double>(*v)) <= 2147483647.0))
                throw Failure{"bad value for --cp: \"" + text + "\" (expected N:X1,Y1,X2,Y2)"};
            p.push_back(static_cast<double>(*v));
        }
        if (p.size() != 4 || text.back() == ',')
            throw Failure{"bad value for --cp: \"" + text + "\" (expected 4 numbers)"};
        o.cp[n - 1] = Options::Points{p[0], p[1], p[2], p[3]};
    }
    if (o.lensDb && !o.lens.empty()) throw UsageError{"--lens and --lens-db exclude each other"};
    if (o.master > static_cast<int>(o.images.size()))
        throw Failure{"--master names image " + std::to_string(o.master) + ", which is not given"};
    return o;
}

void PrintInfo(const Workspace& ws, int count) {
    for (int n = 1; n <= count; ++n) {
        const TImageSlot& s = ws.slot(n);
        std::cout << "Image " << n << ": " << s.FilePath << "\n";
        std::cout << "  size " << s.Bitmap.width() << " x " << s.Bitmap.height()
                  << (s.Deep.empty() ? "" : std::string(", ") + DepthName(s.Deep.depth()) +
                                                (s.Deep.linear() ? " linear" : ""))
                  << ", luminance " << s.Luminance << "\n";
        std::string lensTag;
        const ExifTags tags = LensTagsOf(s.FilePath, &lensTag);  // the EXIF with the makers' note's lens
        const LensLookup lens = LensDatabase::Shared().lookup(tags, s.Bitmap.width(), s.Bitmap.height());
        const std::string lensLine =
            (tags.LensModel.empty() ? std::string("  lens: not named\n")
                                    : "  lens: " + tags.LensModel + " (from " + lensTag + ")\n") +
            "  lens database: " + (lens.match ? lens.match->describe() : lens.problem) + "\n";
        if (ImageKindOf(s.FilePath) != ImageKind::Jpeg) {
            // TIFF and PNG keep EXIF, XMP and a profile in blocks of their own.
            SourceMetadata source;
            if (!source.read(s.FilePath) || source.image.empty()) {
                std::cout << "  metadata: none\n";
                continue;
            }
            const std::vector<std::uint8_t>& exif = source.image.exif;
            std::cout << "  EXIF: "
                      << (exif.size() < 2 ? "none" : exif[0] == 'M' ? "big-endian (MM)" : "little-endian (II)");
            if (tags.PixelXDimension && tags.PixelYDimension)
                std::cout << ", pixel dimensions " << *tags.PixelXDimension << " x " << *tags.PixelYDimension;
            if (!tags.Make.empty() || !tags.Model.empty())
                std::cout << ", camera " << tags.Make << (!tags.Make.empty() && !tags.Model.empty() ? " " : "")
                          << tags.Model;
            std::cout << "\n" << lensLine;
            std::cout << "  XMP: " << (source.image.xmp.empty() ? "no" : "yes")
                      << ", ICC profile: " << (source.image.icc.empty() ? "none" : "yes") << "\n";
            continue;
        }
        TJpegMetadata meta;
        if (!meta.ReadMetadata(s.FilePath)) {
            std::cout << "  metadata: none\n";
            continue;
        }
        const TExifDirectory* d = meta.Directory();
        std::cout << "  EXIF: "
                  << (meta.ExifSegment() ? (meta.MotorolaOrder ? "big-endian (MM)" : "little-endian (II)") : "none");
        if (d && d->ExifWidth > 0) std::cout << ", pixel dimensions " << d->ExifWidth << " x " << d->ExifHeight;
        std::cout << "\n  APP13: " << (meta.IptcSegment() ? "yes" : "no")
                  << ", COM: " << (meta.CommentSegment() ? "yes" : "no") << "\n";
        std::cout << lensLine;
        const int chunks = meta.IccChunkCount();
        std::cout << "  XMP: " << (meta.XmpSegment() ? "yes" : "no") << ", ICC profile: "
                  << (chunks == 0 ? "none" : std::to_string(chunks) + (chunks == 1 ? " chunk" : " chunks"))
                  << ", other segments carried: "
                  << meta.CarriedSegments().size() - static_cast<std::size_t>(chunks) - (meta.XmpSegment() ? 1 : 0)
                  << "\n";
    }
}

void PrintAlignment(const Workspace& ws, int count) {
    const GridTexts t = AlignmentGridTexts(ws);
    std::cout << "Master\t" << ws.MasterIndex() << "\n";
    for (int r = 1; r < kGridRows; ++r) {
        std::cout << kGridRowNames[r];
        for (int c = 1; c <= count; ++c) std::cout << '\t' << t[r][c];
        std::cout << "\n";
    }
    for (const int cp : {1, 2}) {
        std::cout << "CP" << cp;
        for (int c = 1; c <= count; ++c) {
            const TImageSlot& s = ws.slot(c);
            std::cout << '\t' << FormatGeneral(cp == 1 ? s.CP1X : s.CP2X, 10) << ','
                      << FormatGeneral(cp == 1 ? s.CP1Y : s.CP2Y, 10);
        }
        std::cout << "\n";
    }
}

// The lens profile a --lens option names.
TLensCorrection ProfileCorrection(const std::string& path) {
    std::vector<std::uint8_t> bytes;
    try {
        bytes = ReadFilePrefix(path, kProfileReadLimit);
    } catch (const Error& e) {
        throw Failure{"cannot read the lens profile: " + OneLineOf(e.what())};
    }
    const auto values = ParseProfile(SplitLines(std::string(bytes.begin(), bytes.end())));
    if (!values) throw Failure{path + ": Unable to parse file contents."};
    return CorrectionOf(ProfileCoefficients(*values));
}

// The output folder made and writable, before any image is read: a run
// never aligns a shoot only to find it has nowhere to put it.
void PrepareOutputFolder(const std::string& dir) {
    std::error_code ec;
    std::filesystem::create_directories(PathFromUtf8(dir), ec);
    if (ec) throw Failure{"cannot create the output folder " + dir + ": " + ec.message()};
    if (::access(PathFromUtf8(dir).c_str(), W_OK | X_OK) != 0)
        throw Failure{"cannot write into the output folder " + dir + ": " + std::strerror(errno)};
    RemoveStaleTemporaries(dir);
}

int RunBatchCommand(const Options& o) {
    std::vector<BracketSet> sets;
    std::vector<std::string> files;
    try {
        std::vector<Shot> shots = ReadShots(o.batch);
        for (const Shot& shot : shots) files.push_back(shot.path);  // twins left out are still never overwritten
        if (const int twins = KeepRawsOfTwins(shots))
            std::cerr << "vantrel-align: " << twins << (twins == 1 ? " shot was" : " shots were")
                      << " taken as raw and JPEG (or another format): the raw files are aligned, their twins left alone\n";
        sets = GroupShots(shots, o.setSize, o.gap);
    } catch (const Error& e) {
        throw Failure{OneLineOf(e.what())};
    }
    BatchOptions options;
    options.outputDir = o.outputDir;
    options.flat = o.flat;
    options.overwrite = o.overwrite;
    options.jobs = o.jobs;
    options.master = o.master;
    options.fovDegrees = o.fov;
    options.scaling = o.scaling;
    options.lensFromDatabase = o.lensDb;
    options.vignetting = o.lensDbVignetting;
    options.save = {o.format, o.quality, o.borders, o.crop, o.alpha};
    options.save.depth = o.depth;
    options.tag = o.tag;
    options.prepend = o.prepend;
    // Checked over the whole shoot, so that shards run apart never collide either.
    if (!o.dryRun)
        if (const std::string problem = BatchOutputProblem(sets, files, options); !problem.empty())
            throw Failure{problem + "; nothing was written"};
    if (!o.setsFile.empty()) {
        std::vector<std::uint8_t> bytes;
        try {
            bytes = ReadWholeFile(o.setsFile);
        } catch (const Error& e) {
            throw Failure{OneLineOf(e.what())};
        }
        std::set<std::string> wanted;
        for (const std::string& line : SplitLines(std::string(bytes.begin(), bytes.end())))
            if (!line.empty()) wanted.insert(line.substr(0, line.find('\t')));
        for (const BracketSet& s : sets) wanted.erase(s.name);
        if (!wanted.empty())
            throw UsageError{o.setsFile + " names " + std::to_string(wanted.size()) + " set" +
                             (wanted.size() == 1 ? "" : "s") + " that " + o.batch + " does not hold, " +
                             *wanted.begin() + (wanted.size() > 1 ? " among them" : "")};
        std::set<std::string> named;
        for (const std::string& line : SplitLines(std::string(bytes.begin(), bytes.end())))
            if (!line.empty()) named.insert(line.substr(0, line.find('\t')));
        std::erase_if(sets, [&](const BracketSet& s) { return !named.count(s.name); });
    }
    if (o.dryRun) {
        for (const BracketSet& set : sets) {
            std::cout << set.name;
            for (const std::string& f : set.files) std::cout << '\t' << FileNameOf(f);
            std::cout << "\n";
            if (!set.problem.empty())
                std::cerr << "vantrel-align: " << FileNameOf(set.files.front()) << ": " << set.problem << "\n";
        }
        return 0;
    }
    PrepareOutputFolder(o.outputDir);
    if (!o.lens.empty()) options.lens = ProfileCorrection(o.lens);

    const bool terminal = ::isatty(STDERR_FILENO);
    std::string csv = CsvHeader();
    int aligned = 0, unaligned = 0, skipped = 0, failed = 0;
    bool anyUnaligned = false, anyFailed = false;
    RunBatch(sets, options, [&](const SetResult& r, int finished) {
        if (terminal) std::fprintf(stderr, "\r%*s\r", 60, "");
        std::cout << ReportLine(r) << std::endl;
        if (terminal) std::fprintf(stderr, "Sets done: %d of %zu", finished, sets.size());
        csv += CsvRows(r);
        switch (r.status) {
            case SetResult::Status::Aligned: ++aligned; break;
            case SetResult::Status::Unaligned: ++unaligned; break;
            case SetResult::Status::Skipped: ++skipped; break;
            case SetResult::Status::Failed: ++failed; break;
        }
        // A skipped set still tells what it came to.
        anyUnaligned |= r.outcome() == SetResult::Status::Unaligned;
        anyFailed |= r.outcome() == SetResult::Status::Failed;
    });
    if (terminal) std::fprintf(stderr, "\r%*s\r", 60, "");
    std::cout << sets.size() << " sets: " << aligned << " aligned, " << unaligned << " with images left unaligned, "
              << skipped << " skipped (done before), " << failed << " failed\n";
    if (!o.report.empty()) {
        try {
            WriteFileAtomically(o.report, csv);
        } catch (const Error& e) {
            throw Failure{OneLineOf(e.what())};
        }
    }
    return anyFailed ? 1 : anyUnaligned ? kNotAligned : 0;
}

int Run(int argc, char** argv) {
    const Options o = Parse(argc, argv);
    SetRawDevelopment(o.raw);
    if (!o.batch.empty()) return RunBatchCommand(o);
    const std::string cwd = std::filesystem::current_path().string();
    Workspace ws;
    if (!o.lens.empty()) ws.setLens(ProfileCorrection(o.lens));
    const bool terminal = ::isatty(STDERR_FILENO);
    const int count = static_cast<int>(o.images.size());
    ws.setSlotCount(count);
    double firstFocal = 0;
    for (const std::string& path : o.images) {
        std::error_code ec;
        if (!std::filesystem::exists(PathFromUtf8(path), ec)) throw Failure{path + ": no such file"};
        if (!std::filesystem::is_regular_file(PathFromUtf8(path), ec)) throw Failure{path + ": not a regular file"};
    }
    // Where the outputs go is settled before any image is read.
    SaveNaming naming(ws.slotCount());
    OutputNames names;
    if (!o.info) {
        for (int n = 1; n <= count; ++n) {
            naming.enabled[n - 1] = true;
            naming.baseName[n - 1] = BaseNameOf(o.images[n - 1]);
            naming.sourcePath[n - 1] = o.images[n - 1];
        }
        naming.tag = o.tag;
        naming.append = !o.prepend;
        naming.format = o.format;
        naming.outputDir = o.outputDir.empty() ? cwd : o.outputDir;
        names = ComputeOutputNames(naming, [](const std::string& p) {
            std::error_code ec;
            return std::filesystem::exists(PathFromUtf8(p), ec);
        });
        if (!names.problem.empty()) throw Failure{names.problem};
        for (int n = 0; n < count; ++n)
            for (const std::string& source : o.images)
                if (SameFile(names.fullPath[n], source))
                    throw Failure{names.fullPath[n] + " is one of the images read: it is never written over"};
        if (names.anyExists && !o.overwrite) {
            std::string existing;
            for (int n = 0; n < count; ++n)
                if (names.exists[n]) existing += (existing.empty() ? "" : ", ") + names.fullPath[n];
            throw Failure{"would overwrite " + existing + " (use --overwrite)"};
        }
        if (::access(PathFromUtf8(naming.outputDir).c_str(), W_OK | X_OK) != 0)
            throw Failure{"Cannot create file " + names.fullPath[0] + ": " + std::strerror(errno)};
        RemoveStaleTemporaries(naming.outputDir);
    }
    // The next files decode and are measured while one is corrected.
    ImagePrefetch prefetch(o.images, false);  // no histogram is shown
    for (int n = 1; n <= count; ++n) {
        const std::string& path = o.images[n - 1];
        DecodedImage decoded;
        try {
            decoded = prefetch.take();
        } catch (const Error& e) {
            throw Failure{path + ": " + OneLineOf(e.what())};
        }
        const LoadOutcome outcome = decoded.outcome;
        const std::string& notice = decoded.notice;
        Bitmap& picture = decoded.bitmap;
        if (outcome == LoadOutcome::NotAnImage) {
            std::string formats;
            for (const ImageFormat& f : ImageFormats()) formats += (formats.empty() ? "" : ", ") + std::string(f.name);
            throw Failure{path + ": not a " + formats + " file (" + ExtensionList(" ") + ")"};
        }
        if (outcome == LoadOutcome::Incomplete) throw Failure{path + ": " + kIncompletePictureMessage};
        if (outcome == LoadOutcome::Invalid) throw Failure{path + ": " + OneLineOf(InvalidPictureMessage(ImageKindOf(path)))};
        if (n == 1 && (count > kSlotCount || picture.deep())) {
            // A long or deep bracket of frames the size of the first: said
            // up front, and refused before the rest is read when it cannot fit.
            const std::uint64_t need = MemoryForImages(count, picture.width(), picture.height(), picture.depth());
            const std::uint64_t available = AvailableMemory();
            const std::string size = std::to_string(picture.width()) + " x " + std::to_string(picture.height()) +
                                     " pixels" + (picture.deep() ? std::string(" at ") + DepthName(picture.depth()) : "");
            const std::string what = count == 1 ? "an image of " + size : std::to_string(count) + " images of " + size;
            if (need > available)
                throw Failure{what + (count == 1 ? " needs" : " need") + " about " + std::to_string(need >> 20) +
                              " MB of memory and " + std::to_string(available >> 20) + " MB are available" +
                              (count == 1 ? "" : ": align fewer at a time")};
            if (count > kSlotCount) std::cerr << "vantrel-align: " << what << ": about " << (need >> 20) << " MB of memory\n";
        }
        if (!notice.empty()) std::cerr << "vantrel-align: " << path << ": " << notice << "\n";
        const ExifTags exif = o.lensDb ? LensTagsOf(path) : ExifTags();
        if (o.lensDb && n == 1) {
            const LensLookup found = LensDatabase::Shared().lookup(exif, picture.width(), picture.height());
            if (!found.match) throw Failure{path + ": " + found.problem};
            ws.setLens(found.match->correction);
            firstFocal = found.match->focalLength;
            std::cerr << "vantrel-align: lens database: " << found.match->describe() << "\n";
            if (o.lensDbVignetting) {
                Bitmap none;
                if (const std::string why = LensDatabase::Shared().correctVignetting(*found.match, exif, none); !why.empty())
                    throw Failure{path + ": " + why};
                ws.setLoadFilter([match = *found.match](Bitmap& picture, const std::string& file) {
                    if (const std::string why = LensDatabase::Shared().correctVignetting(match, LensTagsOf(file), picture);
                        !why.empty())
                        std::cerr << "vantrel-align: warning: " << file << ": " << why << " Its corners are left as they are.\n";
                });
                std::cerr << "vantrel-align: lens database: vignetting corrected too\n";
            }
        } else if (o.lensDb && exif.FocalLength && std::fabs(*exif.FocalLength - firstFocal) > 0.01 * firstFocal) {
            std::cerr << "vantrel-align: warning: " << path << " was taken at " << FormatGeneral(*exif.FocalLength, 4)
                      << " mm, the first image at " << FormatGeneral(firstFocal, 4)
                      << " mm; its lens correction is that of the first\n";
        }
        ws.placeImage(
            n, std::move(picture), path,
            [&](int percent) {
                if (terminal) std::fprintf(stderr, "\rLoading image %d: %3d%%", n, percent);
            },
            decoded.lightness);
        if (const auto& cp = o.cp[n - 1]) ws.setControlPoints(n, cp->x1, cp->y1, cp->x2, cp->y2);
    }
    if (terminal) std::fprintf(stderr, "\r%*s\r", 40, "");
    if (o.info) {
        PrintInfo(ws, count);
        return 0;
    }

    if (o.fov > 0) ws.setFOVDegrees(o.fov);  // a field of view asked for is the user's own
    ws.SelectMaster(o.master ? o.master : ws.masterByLuminance());  // solves every slot with a field of view
    if (o.fovFromExif) {
        const double degrees = ExifFieldOfViewDegrees(ws);
        if (degrees <= 0)
            throw Failure{ws.slot(ws.MasterIndex()).FilePath + ": the EXIF records no focal length to take a field of view from"};
        ws.setFOVDegrees(degrees);
    }
    bool allAligned = true;
    if (o.autoAlign) {
        const AutoAlignReport report = AutoAlign(ws, {false, [&](int n, int percent) {
                                                          if (terminal) std::fprintf(stderr, "\rAligning image %d: %3d%%", n, percent);
                                                      }});
        if (terminal) std::fprintf(stderr, "\r%*s\r", 40, "");
        if (!report.error.empty()) std::cerr << "vantrel-align: " << report.error << "\n";
        if (!report.fieldOfView.empty()) std::cerr << "vantrel-align: " << report.fieldOfView << "\n";
        for (const auto& r : report.results)
            std::cerr << "vantrel-align: " << (r.outcome == AutoAlignSlotReport::Outcome::Approximate ? "warning: " : "")
                      << r.message << "\n";
        // Approximately aligned is aligned, with the warning above; exit 3 is for an image written as it was.
        allAligned = report.noneLeftUnaligned();
    }
    ws.Recalculate(o.scaling);
    SaveOptions save{o.format, o.quality, o.borders, o.crop, o.alpha};
    save.depth = o.depth;
    std::mutex said;
    save.notice = [&](const std::string& path, const std::string& notice) {
        const std::lock_guard lock(said);  // outputs are written on threads of their own
        std::cerr << "vantrel-align: warning: " << path << ": " << notice << "\n";
    };
    if (o.crop && (o.borders.top || o.borders.left || o.borders.bottom || o.borders.right))
        std::cerr << "vantrel-align: --borders is ignored: --crop cuts every output to the common area\n";
    if (o.alpha && !FormatOf(o.format).writesAlpha)
        std::cerr << "vantrel-align: " << FormatOf(o.format).name << " has no alpha channel; --alpha is ignored\n";
    if (o.printAlignment) {
        PrintAlignment(ws, count);
        if (o.crop) {
            FrameRect area;
            try {
                SaveBorders(ws, save, &area);
            } catch (const Error& e) {
                throw Failure{OneLineOf(e.what())};
            }
            std::cout << "Common area\t" << area.width << " x " << area.height << " at " << area.left << ','
                      << area.top << "\n";
        }
    }

    try {
        WriteSlotsReleasing(ws, naming.enabled, names.fullPath, save, [&](int n, int percent) {
            if (terminal) std::fprintf(stderr, "\rSaving image %d: %3d%%", n, percent);
        });
    } catch (const Error& e) {
        if (terminal) std::fputc('\n', stderr);
        // The set is written whole or not at all: what this run added goes,
        // so that the next run does not meet it as someone else's file.
        for (int n = 0; n < count; ++n) {
            std::error_code ec;
            if (!names.exists[n]) std::filesystem::remove(PathFromUtf8(names.fullPath[n]), ec);
        }
        throw Failure{OneLineOf(e.what())};
    }
    if (terminal) std::fprintf(stderr, "\r%*s\r", 40, "");
    for (int n = 0; n < count; ++n) std::cout << names.fullPath[n] << "\n";
    return allAligned ? 0 : kNotAligned;
}

}  // namespace

int main(int argc, char** argv) {
    // One malloc arena per thread would reserve address space far beyond what
    // is used, so a memory limit (ulimit -v) would fail runs that fit in it.
    ::mallopt(M_ARENA_MAX, 2);
    RemoveTemporaryFilesOnInterrupt();
    try {
        return Run(argc, argv);
    } catch (const UsageError& e) {
        std::cerr << "vantrel-align: " << e.message << "\nTry 'vantrel-align --help'.\n";
        return 2;
    } catch (const Failure& e) {
        std::cerr << "vantrel-align: " << e.message << "\n";
        return 1;
    } catch (const std::bad_alloc&) {
        std::cerr << "vantrel-align: not enough memory to finish; nothing more was written\n";
        return 1;
    } catch (const std::exception& e) {
        std::cerr << "vantrel-align: " << OneLineOf(e.what()) << "\n";
        return 1;
    }
}
