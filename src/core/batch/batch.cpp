#include "batch/batch.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

#include "autoalign/auto_align.h"
#include "formats/image_file.h"
#include "formats/source_metadata.h"
#include "lensdb/lens_database.h"
#include "metadata/exif_tags.h"
#include "save/output_naming.h"
#include "util/error.h"
#include "util/file_io.h"
#include "util/number_format.h"
#include "util/parallel.h"
#include "workspace/workspace.h"

namespace vantrel {

namespace fs = std::filesystem;

namespace {

// The EXIF of an image of any format the loader reads.
ExifTags TagsOf(const std::string& path) {
    if (ImageKindOf(path) == ImageKind::Jpeg) return ReadExifTagsOf(path);
    SourceMetadata metadata;
    if (!metadata.read(path) || metadata.image.exif.empty()) return {};
    return ReadTiffTags(metadata.image.exif.data(), metadata.image.exif.size());
}

// The same exposure: every value both shots record agrees, and there is one.
bool SameExposure(const Shot& a, const Shot& b) {
    bool compared = false;
    if (a.bias && b.bias) {
        if (std::fabs(*a.bias - *b.bias) > 0.01) return false;
        compared = true;
    }
    if (a.exposureTime && b.exposureTime) {
        if (std::fabs(*a.exposureTime - *b.exposureTime) > 0.01 * std::max(*a.exposureTime, *b.exposureTime)) return false;
        compared = true;
    }
    return compared;
}

}  // namespace

std::vector<Shot> ReadShots(const std::string& dir) {
    std::vector<Shot> shots;
    std::error_code ec;
    fs::directory_iterator it(PathFromUtf8(dir), ec);
    if (ec) throw Error("Cannot read the folder " + dir + ": " + ec.message());
    for (const fs::directory_entry& entry : it) {
        const auto u8 = entry.path().u8string();
        const std::string path(u8.begin(), u8.end());
        if (ImageKindOf(path) == ImageKind::None || !entry.is_regular_file(ec)) continue;
        Shot shot;
        shot.path = path;
        const ExifTags tags = TagsOf(path);
        shot.time = tags.ShotTime();
        shot.bias = tags.ExposureBiasValue;
        shot.exposureTime = tags.ExposureTime;
        shots.push_back(shot);
    }
    return shots;
}

std::vector<BracketSet> GroupShots(std::vector<Shot> shots, int setSize, double gap) {
    setSize = std::max(1, setSize);
    auto byName = [](const Shot& a, const Shot& b) { return FileNameOf(a.path) < FileNameOf(b.path); };
    const auto untimed = std::stable_partition(shots.begin(), shots.end(), [](const Shot& s) { return s.time.has_value(); });
    std::sort(shots.begin(), untimed, [&](const Shot& a, const Shot& b) {
        return *a.time != *b.time ? *a.time < *b.time : byName(a, b);
    });
    std::sort(untimed, shots.end(), byName);

    std::vector<std::vector<const Shot*>> groups;
    for (auto s = shots.begin(); s != shots.end(); ++s) {
        bool start = groups.empty() || static_cast<int>(groups.back().size()) >= setSize;
        if (!start && s->time && groups.back().back()->time) {
            const std::vector<const Shot*>& set = groups.back();
            start = *s->time - *set.back()->time > gap ||
                    std::any_of(set.begin(), set.end(), [&](const Shot* other) { return SameExposure(*other, *s); });
        }
        // The untimed never join a timed set.
        if (!start && s->time.has_value() != groups.back().back()->time.has_value()) start = true;
        if (start) groups.emplace_back();
        groups.back().push_back(&*s);
    }

    std::vector<BracketSet> sets;
    std::map<std::string, int> used;
    for (const auto& group : groups) {
        BracketSet set;
        set.name = BaseNameOf(group.front()->path);
        if (const int n = used[set.name]++; n > 0) set.name += "_" + std::to_string(n + 1);
        for (const Shot* s : group) set.files.push_back(s->path);
        sets.push_back(set);
    }
    return sets;
}

namespace {

SetResult ProcessSet(const BracketSet& set, const BatchOptions& options) {
    SetResult r;
    r.name = set.name;
    r.files = set.files;
    const int count = std::min(static_cast<int>(set.files.size()), kSlotCount);

    SaveNaming naming;
    for (int n = 0; n < count; ++n) {
        naming.enabled[n] = true;
        naming.baseName[n] = BaseNameOf(set.files[n]);
        naming.sourcePath[n] = set.files[n];
    }
    naming.tag = options.tag;
    naming.append = !options.prepend;
    naming.format = options.save.format;
    const auto dir = options.flat ? PathFromUtf8(options.outputDir) : PathFromUtf8(options.outputDir) / PathFromUtf8(set.name);
    const auto u8 = dir.u8string();
    naming.outputDir.assign(u8.begin(), u8.end());
    const OutputNames names = ComputeOutputNames(naming, [](const std::string& p) {
        std::error_code ec;
        return fs::exists(PathFromUtf8(p), ec);
    });
    for (int n = 0; n < count; ++n) r.outputs.push_back(names.fullPath[n]);
    if (!names.problem.empty()) {
        r.error = names.problem;
        return r;
    }

    // Done before, and nothing changed since: skipped.
    if (!options.overwrite) {
        std::error_code ec;
        fs::file_time_type newestInput = fs::file_time_type::min();
        for (const std::string& f : set.files) newestInput = std::max(newestInput, fs::last_write_time(PathFromUtf8(f), ec));
        const bool done = std::all_of(r.outputs.begin(), r.outputs.end(), [&](const std::string& out) {
            std::error_code e;
            return fs::exists(PathFromUtf8(out), e) && fs::last_write_time(PathFromUtf8(out), e) >= newestInput;
        });
        if (done && !ec) {
            r.status = SetResult::Status::Skipped;
            return r;
        }
    }

    Workspace ws;
    if (options.lens) ws.setLens(*options.lens);
    for (int n = 1; n <= count; ++n) {
        const std::string& path = set.files[n - 1];
        Bitmap picture;
        LoadOutcome outcome;
        try {
            outcome = LoadImageFile(path, picture);
        } catch (const Error& e) {
            r.error = FileNameOf(path) + ": " + e.what();
            return r;
        }
        if (outcome != LoadOutcome::Loaded) {
            std::string why = LoadFailureMessage(outcome, path);
            r.error = FileNameOf(path) + ": " + why.substr(0, why.find('\n'));
            return r;
        }
        if (options.lensFromDatabase && n == 1) {
            const LensLookup found = LensDatabase::Shared().lookup(TagsOf(path), picture.width(), picture.height());
            if (!found.match) {
                r.error = FileNameOf(path) + ": " + found.problem;
                return r;
            }
            ws.setLens(found.match->correction);
        }
        const Lightness lightness{MeanLightness(picture), {}};  // no histogram is shown
        ws.placeImage(n, std::move(picture), path, {}, lightness);
    }
    ws.setFOVDegrees(options.fovDegrees);
    ws.SelectMaster(options.master >= 1 && options.master <= count ? options.master : ws.masterByLuminance());
    r.status = SetResult::Status::Aligned;
    std::map<int, AutoAlignSlotReport> found;
    if (count > 1) {
        const AutoAlignReport report = AutoAlign(ws);
        for (const AutoAlignSlotReport& s : report.results) found[s.slot] = s;
        if (!report.allAligned()) r.status = SetResult::Status::Unaligned;
    }
    for (int n = 1; n <= count; ++n) {
        ImageResult image;
        image.file = FileNameOf(set.files[n - 1]);
        if (n == ws.MasterIndex()) {
            image.outcome = "master";
        } else if (const auto s = found.find(n); s != found.end()) {
            using O = AutoAlignSlotReport::Outcome;
            image.outcome = s->second.outcome == O::Failed ? "left unaligned"
                            : s->second.outcome == O::Approximate ? "approximate"
                                                                  : "aligned";
            image.confidence = s->second.confidence;
            image.message = s->second.message;
        }
        r.images.push_back(image);
    }
    ws.Recalculate(options.scaling);
    try {
        std::error_code ec;
        fs::create_directories(dir, ec);
        std::array<bool, kSlotCount> which{};
        for (int n = 0; n < count; ++n) which[n] = true;
        WriteSlotsReleasing(ws, which, names.fullPath, options.save);
    } catch (const Error& e) {
        r.status = SetResult::Status::Failed;
        r.error = e.what();
    }
    return r;
}

}  // namespace

void RunBatch(const std::vector<BracketSet>& sets, const BatchOptions& options,
              const std::function<void(const SetResult&, int)>& done) {
    const int total = static_cast<int>(sets.size());
    const int jobs = std::clamp(options.jobs > 0 ? options.jobs : static_cast<int>(std::thread::hardware_concurrency()), 1,
                                std::max(total, 1));
    if (jobs == 1) {
        // One set at a time, every core on it.
        for (int i = 0; i < total; ++i) done(ProcessSet(sets[i], options), i + 1);
        return;
    }
    // Sets side by side, each on one thread; the results told in set order.
    std::vector<std::optional<SetResult>> results(static_cast<std::size_t>(total));
    std::atomic<int> next{0};
    std::mutex mutex;
    std::condition_variable ready;
    SetOpenCvThreads(1);
    std::vector<std::thread> workers;
    for (int j = 0; j < jobs; ++j)
        workers.emplace_back([&] {
            const ThreadLimit single(1);
            for (int i = next++; i < total; i = next++) {
                SetResult r;
                try {
                    r = ProcessSet(sets[i], options);
                } catch (const std::exception& e) {
                    r.name = sets[i].name;
                    r.files = sets[i].files;
                    r.error = e.what();
                }
                std::lock_guard lock(mutex);
                results[i] = std::move(r);
                ready.notify_all();
            }
        });
    for (int i = 0; i < total; ++i) {
        std::unique_lock lock(mutex);
        ready.wait(lock, [&] { return results[i].has_value(); });
        const SetResult r = std::move(*results[i]);
        results[i].reset();
        lock.unlock();
        done(r, i + 1);
    }
    for (std::thread& t : workers) t.join();
    SetOpenCvThreads(0);
}

std::string ReportLine(const SetResult& r) {
    std::string line = r.name + "\t" + std::to_string(r.files.size()) + (r.files.size() == 1 ? " file" : " files");
    switch (r.status) {
        case SetResult::Status::Failed: return line + "\tfailed: " + r.error;
        case SetResult::Status::Skipped: return line + "\tskipped: done before";
        default: break;
    }
    for (const ImageResult& image : r.images) {
        line += "\t" + image.file + " ";
        if (image.outcome == "master" || image.outcome == "left unaligned")
            line += image.outcome;
        else
            line += image.outcome + " " + FormatGeneral(image.confidence, 2);
    }
    return line;
}

namespace {

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (const char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

}  // namespace

std::string CsvHeader() { return "set,image,result,confidence,message\n"; }

std::string CsvRows(const SetResult& r) {
    auto row = [&](const std::string& image, const std::string& result, const std::string& confidence,
                   const std::string& message) {
        return CsvField(r.name) + "," + CsvField(image) + "," + CsvField(result) + "," + confidence + "," +
               CsvField(message) + "\n";
    };
    if (r.status == SetResult::Status::Failed) return row("", "failed", "", r.error);
    if (r.status == SetResult::Status::Skipped) return row("", "skipped", "", "done before");
    std::string rows;
    for (const ImageResult& image : r.images)
        rows += row(image.file, image.outcome,
                    image.outcome == "master" ? "" : FormatGeneral(image.confidence, 3), image.message);
    return rows;
}

}  // namespace vantrel
