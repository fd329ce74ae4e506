#pragma once

#include <functional>
#include <string>
#include <vector>

#include "workspace/workspace.h"

namespace vantrel {

struct AutoAlignOptions {
    // Take the field of view from the master's EXIF even when one is set.
    bool fieldOfViewFromExif = false;
    // slot number, 0..100; on the calling thread.
    std::function<void(int slot, int percent)> progress;
    // Match every image with the master itself where it can; off, an image
    // with another one between it and the master in exposure goes through
    // that one (to check the chain).
    bool directMatch = true;
};

// What Auto Align did for one image.
struct AutoAlignSlotReport {
    enum class Outcome { Aligned, Approximate, Kept, Failed };
    int slot = 0;
    Outcome outcome = Outcome::Failed;
    int matches = 0;
    double residual = 0;    // median distance of the matched details from the fit, pixels
    double confidence = 0;  // 0..1
    int through = 0;        // the slot it was matched with when not the master
    std::string message;    // one line in plain words
};

struct AutoAlignReport {
    std::string error;  // why nothing could be done (no master, nothing to align)
    std::string fieldOfView;  // what was decided about the field of view, when anything
    std::vector<AutoAlignSlotReport> results;

    bool allAligned() const;
    // Every image aligned or approximately aligned: none written as it was.
    bool noneLeftUnaligned() const;
    // One line for a status bar: per image what came of it, and the field of view.
    std::string summary() const;
    // The lines for the images that were not aligned (for the window's message).
    std::string problems() const;
};

// Places the control points of every loaded slot so that each image lines up
// with the master: the master's points first move to well-textured,
// well-separated places, then each other image's points follow at the
// sub-pixel positions registration finds. Without a field of view it takes
// the master's EXIF one, or estimates one and uses the sphere when that fits
// clearly better than the plane. An image whose result is not clearly good
// keeps its alignment (its points re-expressed for the master's new ones).
// Re-solves every slot; the caller recalculates and renders.
AutoAlignReport AutoAlign(Workspace& ws, const AutoAlignOptions& options = {});

// The field of view the master's EXIF records, in degrees; 0 when none.
double ExifFieldOfViewDegrees(const Workspace& ws);

// How many threads OpenCV may use inside the registration (0: its default).
// Process-wide: for runs that align several sets side by side.
void SetOpenCvThreads(int threads);

}  // namespace vantrel
