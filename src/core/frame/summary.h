// The summary text of a frame: per collection its entity count and, per
// declared dataset, the number of distinct records its entities cover.
#pragma once

#include "core/frame/frame.h"
#include "core/render/table.h"

#include <string>

namespace tessellar {

// The table of a frame with collections and declared datasets.
TextTable summary_table(const Frame& frame);

// "EntityFrame (empty)", the one-line text for a frame without declared
// datasets, or the rendered table.
std::string render_summary(const Frame& frame, const RenderOptions& options);

}  // namespace tessellar
