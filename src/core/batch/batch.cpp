#include "batch/batch.h"

#include <algorithm>
#include <cctype>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "autoalign/auto_align.h"
#include "camera/camera_identity.h"
#include "formats/image_file.h"
#include "formats/source_metadata.h"
#include "lens/lens_profile.h"
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

// Why a file cannot hold a picture of the format its name gives, judged from
// its first bytes (empty: it may). A file cut short after its header still
// passes: its set aligns the others and reports it.
std::string StartProblem(const std::string& path, ImageKind kind) {
    std::vector<std::uint8_t> head;
    try {
        head = ReadFilePrefix(path, 8);
    } catch (const Error& e) {
        return OneLineOf(e.what());
    }
    if (head.empty()) return "The file is empty.";
    auto starts = [&](std::initializer_list<std::uint8_t> magic) {
        return head.size() >= magic.size() && std::equal(magic.begin(), magic.end(), head.begin());
    };
    bool ok = true;
    switch (kind) {
        case ImageKind::Jpeg: ok = starts({0xFF, 0xD8, 0xFF}); break;
        case ImageKind::Png: ok = starts({0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}); break;
        case ImageKind::Tiff: ok = starts({'I', 'I', 42, 0}) || starts({'M', 'M', 0, 42}) ||
                                   starts({'I', 'I', 43, 0}) || starts({'M', 'M', 0, 43}); break;
        case ImageKind::Bmp: ok = starts({'B', 'M'}); break;
        case ImageKind::Raw: break;  // each maker its own signature: LibRaw judges
        case ImageKind::None: ok = false; break;
    }
    return ok ? std::string() : "The file is not a " + std::string(FormatOf(kind).name) + " picture.";
}

}  // namespace

std::string OneLineOf(std::string text) {
    for (char& c : text)
        if (c == '\n' || c == '\r' || c == '\t') c = ' ';
    for (auto at = text.find("  "); at != std::string::npos; at = text.find("  ")) text.erase(at, 1);
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

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
        shot.unreadable = StartProblem(path, ImageKindOf(path));
        if (!shot.unreadable.empty()) {
            shots.push_back(shot);
            continue;
        }
        const ExifTags tags = ReadImageExifTags(path);
        shot.time = tags.ShotTime();
        shot.bias = tags.ExposureBiasValue;
        shot.exposureTime = tags.ExposureTime;
        if (tags.ExposureMode) shot.autoBracket = *tags.ExposureMode == 2;
        // Only the makers whose notes count a bracket's shots are worth a second read.
        std::string make = tags.Make.substr(0, 5);
        for (char& c : make) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (make.rfind("canon", 0) == 0 || make.rfind("sony", 0) == 0)
            if (const auto id = ReadCameraIdentity(path)) shot.sequence = id->shotInSequence;
        shots.push_back(shot);
    }
    return shots;
}

int KeepRawsOfTwins(std::vector<Shot>& shots) {
    auto stem = [](const std::string& path) {
        const std::size_t slash = path.find_last_of('/'), dot = path.find_last_of('.');
        return dot == std::string::npos || (slash != std::string::npos && dot < slash) ? path : path.substr(0, dot);
    };
    std::set<std::string> raws;
    for (const Shot& s : shots)
        if (ImageKindOf(s.path) == ImageKind::Raw && s.unreadable.empty()) raws.insert(stem(s.path));
    const std::size_t before = shots.size();
    std::erase_if(shots, [&](const Shot& s) { return ImageKindOf(s.path) != ImageKind::Raw && raws.count(stem(s.path)); });
    return static_cast<int>(before - shots.size());
}

std::vector<BracketSet> GroupShots(std::vector<Shot> shots, int setSize, double gap) {
    setSize = std::max(1, setSize);
    std::vector<Shot> unreadable;
    for (Shot& s : shots)
        if (!s.unreadable.empty()) unreadable.push_back(s);
    std::erase_if(shots, [](const Shot& s) { return !s.unreadable.empty(); });
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
            const Shot& last = *set.back();
            start = *s->time - *last.time > gap ||
                    (s->autoBracket && last.autoBracket && *s->autoBracket != *last.autoBracket) ||
                    (s->sequence && (*s->sequence == 1 || (last.sequence && *s->sequence != *last.sequence + 1))) ||
                    std::any_of(set.begin(), set.end(), [&](const Shot* other) { return SameExposure(*other, *s); });
        }
        // The untimed never join a timed set.
        if (!start && s->time.has_value() != groups.back().back()->time.has_value()) start = true;
        if (start) groups.emplace_back();
        groups.back().push_back(&*s);
    }

    std::sort(unreadable.begin(), unreadable.end(), byName);
    for (const Shot& s : unreadable) groups.push_back({&s});

    // Names unique after suffixing too: "a", "a" and "a_2" give a, a_3, a_2
    // never two "a_2".
    std::set<std::string> taken;
    for (const auto& group : groups) taken.insert(BaseNameOf(group.front()->path));
    std::set<std::string> used;
    std::vector<BracketSet> sets;
    for (const auto& group : groups) {
        BracketSet set;
        const std::string base = BaseNameOf(group.front()->path);
        set.name = base;
        for (int n = 2; used.count(set.name) || (set.name != base && taken.count(set.name)); ++n)
            set.name = base + "_" + std::to_string(n);
        used.insert(set.name);
        for (const Shot* s : group) set.files.push_back(s->path);
        set.problem = group.front()->unreadable;
        sets.push_back(set);
    }
    return sets;
}

namespace {

using Status = SetResult::Status;

fs::path SetFolder(const BracketSet& set, const BatchOptions& options) {
    return options.flat ? PathFromUtf8(options.outputDir) : PathFromUtf8(options.outputDir) / PathFromUtf8(set.name);
}

std::string Utf8(const fs::path& path) {
    const auto u8 = path.u8string();
    return std::string(u8.begin(), u8.end());
}

OutputNames SetOutputNames(const BracketSet& set, const BatchOptions& options) {
    const int count = std::min(static_cast<int>(set.files.size()), kMaxImages);
    SaveNaming naming(std::max(count, kSlotCount));
    for (int n = 0; n < count; ++n) {
        naming.enabled[n] = true;
        naming.baseName[n] = BaseNameOf(set.files[n]);
        naming.sourcePath[n] = set.files[n];
    }
    naming.tag = options.tag;
    naming.append = !options.prepend;
    naming.format = options.save.format;
    naming.outputDir = Utf8(SetFolder(set, options));
    return ComputeOutputNames(naming, [](const std::string& p) {
        std::error_code ec;
        return fs::exists(PathFromUtf8(p), ec);
    });
}

// ---- the record of a set this program wrote ----
// Under the output folder, one small file a set: which outputs are ours (so
// a rerun may replace them and nothing else) and what the run found (so a
// rerun that skips the set still tells it). Written "pending" before the
// first output and "done" after the last, so a run killed in between leaves
// files the next run knows as its own.

constexpr const char* kRecordFolder = ".vantrel";

fs::path RecordPath(const BracketSet& set, const BatchOptions& options) {
    return PathFromUtf8(options.outputDir) / kRecordFolder / PathFromUtf8(set.name + ".set");
}

const char* StatusName(Status s) {
    switch (s) {
        case Status::Aligned: return "aligned";
        case Status::Unaligned: return "unaligned";
        case Status::Skipped: return "skipped";
        case Status::Failed: break;
    }
    return "failed";
}

struct SetRecord {
    bool done = false;
    Status status = Status::Failed;
    std::string error;
    std::vector<std::string> outputs;  // file names in the set's folder
    std::vector<ImageResult> images;
};

std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> fields;
    std::stringstream in(line);
    std::string field;
    while (std::getline(in, field, '\t')) fields.push_back(field);
    return fields;
}

std::optional<SetRecord> ReadRecord(const fs::path& path) {
    std::vector<std::uint8_t> bytes;
    try {
        bytes = ReadFilePrefix(Utf8(path), 1 << 16);
    } catch (const Error&) {
        return std::nullopt;
    }
    SetRecord record;
    bool ours = false;
    for (const std::string& line : SplitLines(std::string(bytes.begin(), bytes.end()))) {
        const std::vector<std::string> f = Fields(line);
        if (f.empty()) continue;
        if (f[0] == "vantrel-set" && f.size() >= 2) {
            ours = true;
            record.done = f[1] == "done";
        } else if (f[0] == "status" && f.size() >= 2) {
            for (const Status s : {Status::Aligned, Status::Unaligned, Status::Failed})
                if (f[1] == StatusName(s)) record.status = s;
        } else if (f[0] == "error" && f.size() >= 2) {
            record.error = f[1];
        } else if (f[0] == "output" && f.size() >= 2) {
            record.outputs.push_back(f[1]);
        } else if (f[0] == "image" && f.size() >= 4) {  // an empty message ends the line
            ImageResult image{f[1], f[2], std::strtod(f[3].c_str(), nullptr), f.size() > 4 ? f[4] : ""};
            record.images.push_back(image);
        }
    }
    if (!ours) return std::nullopt;
    return record;
}

void WriteRecord(const fs::path& path, const SetRecord& record) {
    std::string text = std::string("vantrel-set\t") + (record.done ? "done" : "pending") + "\n";
    text += std::string("status\t") + StatusName(record.status) + "\n";
    if (!record.error.empty()) text += "error\t" + OneLineOf(record.error) + "\n";
    for (const std::string& out : record.outputs) text += "output\t" + out + "\n";
    for (const ImageResult& i : record.images)
        text += "image\t" + i.file + "\t" + i.outcome + "\t" + FormatGeneral(i.confidence, 6) + "\t" +
                OneLineOf(i.message) + "\n";
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    WriteFileAtomically(Utf8(path), text);
}

SetResult ProcessSet(const BracketSet& set, const BatchOptions& options) {
    SetResult r;
    r.name = set.name;
    r.files = set.files;
    if (!set.problem.empty()) {
        r.error = FileNameOf(set.files.front()) + ": " + set.problem;
        return r;
    }
    const int count = std::min(static_cast<int>(set.files.size()), kMaxImages);
    const OutputNames names = SetOutputNames(set, options);
    if (!names.problem.empty()) {
        r.error = names.problem;
        return r;
    }
    const fs::path dir = SetFolder(set, options);
    const fs::path recordPath = RecordPath(set, options);
    const std::optional<SetRecord> record = ReadRecord(recordPath);
    auto recorded = [&](const std::string& fileName) {
        return record && std::count(record->outputs.begin(), record->outputs.end(), fileName) > 0;
    };

    // Done before, and nothing changed since: skipped, telling what it found then.
    if (!options.overwrite && record && record->done) {
        std::error_code ec;
        fs::file_time_type newestInput = fs::file_time_type::min();
        for (const std::string& f : set.files) newestInput = std::max(newestInput, fs::last_write_time(PathFromUtf8(f), ec));
        const bool current = !ec && !record->outputs.empty() &&
                             std::all_of(record->outputs.begin(), record->outputs.end(), [&](const std::string& out) {
                                 std::error_code e;
                                 const fs::path p = dir / PathFromUtf8(out);
                                 return fs::exists(p, e) && fs::last_write_time(p, e) >= newestInput;
                             });
        if (current) {
            r.status = Status::Skipped;
            r.earlier = record->status;
            r.error = record->error;
            r.images = record->images;
            for (const std::string& out : record->outputs) r.outputs.push_back(Utf8(dir / PathFromUtf8(out)));
            return r;
        }
    }
    // Files in the outputs' places: a source never goes, what this program
    // wrote for the set may, anything else only when asked.
    std::string foreign;
    for (int n = 0; n < count; ++n) {
        for (const std::string& f : set.files)
            if (SameFile(names.fullPath[n], f)) {
                r.error = names.fullPath[n] + " is one of the images read: it is never written over";
                return r;
            }
        if (names.exists[n] && !options.overwrite && !recorded(names.fileName[n]))
            foreign += (foreign.empty() ? "" : ", ") + names.fullPath[n];
    }
    if (!foreign.empty()) {
        r.error = "would overwrite " + foreign + " (use --overwrite)";
        return r;
    }

    Workspace ws;
    ws.setSlotCount(count);
    if (options.lens) ws.setLens(*options.lens);
    std::vector<int> setIndexOfSlot;  // the set's file each loaded slot holds
    std::vector<ImageResult> unreadable;
    for (int i = 0; i < count; ++i) {
        const std::string& path = set.files[i];
        Bitmap picture;
        std::string why;
        try {
            const LoadOutcome outcome = LoadImageFile(path, picture);
            if (outcome != LoadOutcome::Loaded) why = LoadFailureMessage(outcome, path);
        } catch (const Error& e) {
            why = e.what();
        }
        if (why.empty() && options.lensFromDatabase && setIndexOfSlot.empty()) {
            const ExifTags tags = LensTagsOf(path);
            const LensLookup found = LensDatabase::Shared().lookup(tags, picture.width(), picture.height());
            if (!found.match) {
                r.error = FileNameOf(path) + ": " + OneLineOf(found.problem);
                return r;
            }
            ws.setLens(found.match->correction);
            if (options.vignetting) {
                Bitmap none;
                if (const std::string why = LensDatabase::Shared().correctVignetting(*found.match, tags, none); !why.empty()) {
                    r.error = FileNameOf(path) + ": " + why;
                    return r;
                }
                ws.setLoadFilter([match = *found.match](Bitmap& image, const std::string& file) {
                    LensDatabase::Shared().correctVignetting(match, LensTagsOf(file), image);
                });
            }
        }
        if (!why.empty()) {
            why = OneLineOf(why.substr(0, why.find("\n\n")));
            unreadable.push_back({FileNameOf(path), "unreadable", 0, why});
            if (r.error.empty()) r.error = FileNameOf(path) + ": " + why;
            continue;
        }
        setIndexOfSlot.push_back(i);
        const Lightness lightness{MeanLightness(picture), {}};  // no histogram is shown
        ws.placeImage(static_cast<int>(setIndexOfSlot.size()), std::move(picture), path, {}, lightness);
    }
    const int loaded = static_cast<int>(setIndexOfSlot.size());
    if (loaded == 0) {
        r.images = unreadable;
        return r;
    }
    if (options.fovDegrees > 0) ws.setFOVDegrees(options.fovDegrees);
    ws.SelectMaster(options.master >= 1 && options.master <= loaded ? options.master : ws.masterByLuminance());
    r.status = Status::Aligned;
    std::map<int, AutoAlignSlotReport> found;
    if (loaded > 1) {
        const AutoAlignReport report = AutoAlign(ws);
        for (const AutoAlignSlotReport& s : report.results) found[s.slot] = s;
        if (!report.noneLeftUnaligned()) r.status = Status::Unaligned;
    }
    std::vector<std::string> paths(static_cast<std::size_t>(ws.slotCount()));
    std::vector<bool> which(paths.size());
    SetRecord mine;
    for (int n = 1; n <= loaded; ++n) {
        const int i = setIndexOfSlot[n - 1];
        ImageResult image;
        image.file = FileNameOf(set.files[i]);
        if (n == ws.MasterIndex()) {
            image.outcome = "master";
        } else if (const auto s = found.find(n); s != found.end()) {
            using O = AutoAlignSlotReport::Outcome;
            image.outcome = s->second.outcome == O::Failed ? "left unaligned"
                            : s->second.outcome == O::Approximate ? "approximate"
                                                                  : "aligned";
            image.confidence = s->second.confidence;
            image.message = OneLineOf(s->second.message);
        }
        r.images.push_back(image);
        paths[n - 1] = names.fullPath[i];
        which[n - 1] = true;
        r.outputs.push_back(names.fullPath[i]);
        mine.outputs.push_back(names.fileName[i]);
    }
    r.images.insert(r.images.end(), unreadable.begin(), unreadable.end());
    if (!unreadable.empty()) r.status = Status::Failed;
    ws.Recalculate(options.scaling);
    try {
        std::error_code ec;
        fs::create_directories(dir, ec);
        if (!options.flat) RemoveStaleTemporaries(Utf8(dir));  // the shared folder is cleaned once, at the start
        WriteRecord(recordPath, mine);  // pending: the files about to be written are ours
        WriteSlotsReleasing(ws, which, paths, options.save);
        mine.done = true;
        mine.status = r.status;
        mine.error = r.error;
        mine.images = r.images;
        WriteRecord(recordPath, mine);
    } catch (const Error& e) {
        // What this run wrote of the set goes: a set is there whole or not at all.
        for (int n = 0; n < loaded; ++n) {
            std::error_code ec;
            if (!names.exists[setIndexOfSlot[n]]) fs::remove(PathFromUtf8(paths[n]), ec);
        }
        r.status = Status::Failed;
        r.error = OneLineOf(e.what());
        r.outputs.clear();
    }
    return r;
}

// A set's result whatever happens in it: a failure is the set's, never the run's.
SetResult ProcessSetSafely(const BracketSet& set, const BatchOptions& options) {
    SetResult r;
    try {
        r = ProcessSet(set, options);
    } catch (const std::bad_alloc&) {
        r = {};
        r.error = "not enough memory to align this set";
    } catch (const std::exception& e) {
        r = {};
        r.error = e.what();
    }
    r.name = set.name;
    r.files = set.files;
    r.error = OneLineOf(r.error);
    return r;
}

}  // namespace

std::string BatchOutputProblem(const std::vector<BracketSet>& allSets, const std::vector<std::string>& allFiles,
                               const BatchOptions& options) {
    std::map<std::string, std::string> writer;  // output path -> the source that writes it
    for (const BracketSet& set : allSets) {
        if (!set.problem.empty()) continue;
        const OutputNames names = SetOutputNames(set, options);
        const int count = std::min(static_cast<int>(set.files.size()), kMaxImages);
        for (int n = 0; n < count; ++n) {
            const std::string& out = names.fullPath[n];
            const auto [at, added] = writer.emplace(out, set.files[n]);
            if (!added && at->second != set.files[n])
                return FileNameOf(at->second) + " and " + FileNameOf(set.files[n]) + " would both be written to " + out +
                       ": use one folder per set (without --flat) or another --tag";
        }
    }
    // Each file looked at once: a shoot may hold tens of thousands.
    std::map<std::pair<std::uint64_t, std::uint64_t>, std::string> inputs;
    for (const std::string& f : allFiles)
        if (const auto id = FileIdentity(f)) inputs.emplace(*id, f);
    for (const auto& [out, source] : writer)
        if (const auto id = FileIdentity(out); id && inputs.count(*id))
            return "the output " + out + " is the image " + inputs[*id] + ": a source is never written over";
    return {};
}

void RunBatch(const std::vector<BracketSet>& sets, const BatchOptions& options,
              const std::function<void(const SetResult&, int)>& done) {
    const int total = static_cast<int>(sets.size());
    const int jobs = std::clamp(options.jobs > 0 ? options.jobs : static_cast<int>(std::thread::hardware_concurrency()), 1,
                                std::max(total, 1));
    // Sets side by side, each on one thread; the results told in set order.
    // Where no thread can be started the calling thread does every set.
    std::vector<std::optional<SetResult>> results(static_cast<std::size_t>(total));
    std::atomic<int> next{0};
    std::mutex mutex;
    std::condition_variable ready;
    auto work = [&] {
        const ThreadLimit single(1);
        for (int i = next++; i < total; i = next++) {
            SetResult r = ProcessSetSafely(sets[i], options);
            std::lock_guard lock(mutex);
            results[i] = std::move(r);
            ready.notify_all();
        }
    };
    std::vector<std::thread> workers;
    if (jobs > 1) {
        SetOpenCvThreads(1);
        for (int j = 0; j < jobs; ++j) {
            try {
                workers.emplace_back(work);
            } catch (const std::system_error&) {
                break;
            }
        }
    }
    if (workers.empty()) {
        // One set at a time, every core on it.
        SetOpenCvThreads(0);
        for (int i = 0; i < total; ++i) done(ProcessSetSafely(sets[i], options), i + 1);
        return;
    }
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

SetResult::Status SetResult::outcome() const { return status == Status::Skipped ? earlier : status; }

std::string ReportLine(const SetResult& r) {
    std::string line = r.name + "\t" + std::to_string(r.files.size()) + (r.files.size() == 1 ? " file" : " files");
    if (r.status == Status::Skipped) line += "\tskipped: done before";
    for (const ImageResult& image : r.images) {
        line += "\t" + image.file + " ";
        if (image.outcome == "master" || image.outcome == "left unaligned" || image.outcome == "unreadable")
            line += image.outcome;
        else
            line += image.outcome + " " + FormatGeneral(image.confidence, 2);
    }
    if (r.outcome() == Status::Failed) line += "\tfailed: " + OneLineOf(r.error);
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
    if (r.images.empty())
        return r.status == Status::Skipped ? row("", "skipped", "", "done before") : row("", "failed", "", r.error);
    // A skipped set keeps the results of the run that did it.
    const std::string before = r.status == Status::Skipped ? "done before" : "";
    std::string rows;
    for (const ImageResult& image : r.images) {
        const std::string message = before.empty() || image.message.empty() ? before + image.message
                                                                              : before + "; " + image.message;
        rows += row(image.file, image.outcome,
                    image.outcome == "master" || image.outcome == "unreadable" ? "" : FormatGeneral(image.confidence, 3),
                    message);
    }
    return rows;
}

}  // namespace vantrel
