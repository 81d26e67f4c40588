// Colour tags for a produced MP4. A writer that turns RGB into YUV and says nothing about how
// leaves players to guess, and they guess differently: browsers take an untagged HD video for
// BT.709, so a picture made with the BT.601 matrix shows saturated colours shifted (pure green
// as 0, 216, 0). Such a file gains the tag that says what its writer did. Bounded like every
// reader here, so any bytes can be given.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/h264_sps.hpp"

namespace tavro::core {

enum class ColourTagging {
  added,
  already_tagged,  // the video's sample entry has a colr box: the writer said it itself
  not_editable,    // not an MP4 whose moov is its last box, or a moov this does not edit
  write_failed,    // the file may now be damaged: a whole-file check says how
};

// Gives the single video track of a whole moov box (header included) the colours `tag`: a colr
// box at the end of its sample entry, for players that read the container, and the same in the
// H.264 decoder configuration's sequence parameter set where it can be read, for those that read
// the stream; every box on the way grows. Left unchanged unless `added`: where the entry has a
// colr box or its parameter set describes colours already, or the box is not one this edits (no
// single video track, a 64-bit or open-ended size on the way, a size that would overflow).
ColourTagging add_colour(std::vector<std::uint8_t>& moov, const Nclx& tag);

// Tags the MP4 at `path` (UTF-8) in place. Only a file whose moov box comes last, as the hosts
// write it: the moov is rewritten where it stands, a little longer, and nothing before it moves,
// so every chunk offset stays true.
ColourTagging tag_colours_of_file(const std::string& path, const Nclx& tag);

}  // namespace tavro::core
