// Whether a produced file came out whole: a PNG or an MP4 read end to end the way a player
// would need it, against the size (and frame count) it was made for. A writer that ran out of
// disk leaves a file cut short, or one without its closing index; neither may be handed on.
// Bounded like every reader here, so any bytes can be given.
#pragma once

#include <cstdint>
#include <string>

#include "core/mp4_boxes.hpp"

namespace tavro::core {

enum class MediaFault {
  none,
  cut_short,     // the structure runs past the end of the file, or stops before its end
  not_media,     // not this format, or its index is missing (no IHDR, no moov, no video track)
  wrong_size,    // whole, but of another picture size
  wrong_frames,  // whole, but with another number of frames
};

// A PNG: signature, IHDR first with `width` x `height`, chunks chained to an IEND that ends the
// file. The colour type is not looked at.
MediaFault check_png(const ByteSource& source, std::uint32_t width, std::uint32_t height);

// An MP4: top-level boxes that cover the file exactly, one moov holding exactly one video track
// whose sample entry is `width` x `height` and whose sample table (stsz or stz2) holds `frames`.
MediaFault check_mp4(const ByteSource& source, std::uint32_t width, std::uint32_t height,
                     std::uint64_t frames);

// Whether an MP4/MOV's top-level box claims more bytes than the file holds: a download or copy
// cut short. False for whole files and for files that are not MP4/MOV at all.
bool mp4_cut_short(const ByteSource& source);
// The same for a file by its UTF-8 path; false when it cannot be opened.
bool mp4_cut_short_of_file(const std::string& path);

}  // namespace tavro::core
