// The files the add-on stages its assets in: made by the render module in the temporary folder,
// recognised by the send operator when an OS error names one.
#pragma once

namespace tavro::core {

// The start of every staged file's name; the rest is random, then the caller's suffix.
inline constexpr char kStagePrefix[] = "lumo_stage_";

}  // namespace tavro::core
