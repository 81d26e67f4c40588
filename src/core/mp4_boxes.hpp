// Bounded reading of ISO base media files (MP4/MOV): random-access bytes and a walker over the
// boxes of a range. Shared by the readers of a video's rotation and of a produced file's
// wholeness; no host API, no Python, and any bytes can be given.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/file_io.hpp"

namespace tavro::core {

// Random-access bytes: the readers never need more than a box header or a small payload at once.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual std::uint64_t size() const = 0;
  // Fills `out` from `offset`; false when that range is not wholly available.
  virtual bool read(std::uint64_t offset, std::span<std::uint8_t> out) const = 0;
};

class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  std::uint64_t size() const override { return bytes_.size(); }
  bool read(std::uint64_t offset, std::span<std::uint8_t> out) const override;

 private:
  std::span<const std::uint8_t> bytes_;
};

// An open file's bytes as they were long when it was given.
class FileSource final : public ByteSource {
 public:
  explicit FileSource(std::FILE* f) : f_(f), size_(length_of(f).value_or(0)) {}
  std::uint64_t size() const override { return size_; }
  bool read(std::uint64_t offset, std::span<std::uint8_t> out) const override;

 private:
  std::FILE* f_;
  std::uint64_t size_ = 0;
};

std::uint32_t be32(const std::uint8_t* p);
std::uint64_t be64(const std::uint8_t* p);

struct Range {
  std::uint64_t begin, end;
};

struct Box {
  char type[4];
  Range payload;  // after the header; payload.end is where the next box starts
  bool is(std::string_view t) const { return std::string_view(type, 4) == t; }
};

// Why a box could not be read where one was expected.
enum class BoxStop {
  end,        // no bytes left in the range: the chain ended cleanly
  cut_short,  // a header or a size that runs past the range's end
  malformed,  // a size smaller than its own header, or the box budget spent
};

class BoxReader {
 public:
  // Far more boxes than a real file holds; keeps a crafted file's millions of tiny boxes from
  // costing more than a moment.
  static constexpr int kMaxBoxes = 4096;

  explicit BoxReader(const ByteSource& source) : source_(source) {}

  // The box starting at `at` inside `within`, or why there is none.
  std::optional<Box> at(Range within, std::uint64_t at, BoxStop* stop = nullptr);
  // The payload of the first box of `type` directly inside `within`, if any.
  std::optional<Range> child(Range within, std::string_view type);
  // `out` from `offset` inside a box's payload; false when it runs past the payload.
  bool read(Range box, std::uint64_t offset, std::span<std::uint8_t> out);
  std::uint64_t size() const { return source_.size(); }

 private:
  const ByteSource& source_;
  int budget_ = kMaxBoxes;
};

// The boxes at a file's top level, walked until their chain ends.
struct TopLevel {
  BoxStop stop = BoxStop::end;  // why the chain ended
  int moov_count = 0;
  Range moov{};                 // the first moov's payload
  std::optional<Box> last;      // the last box read whole
  bool first_is_known = false;  // the first box is one an MP4/MOV starts with
};
TopLevel top_level(BoxReader& boxes);

// The video tracks (handler "vide") directly inside a moov payload: how many, and the first.
int video_tracks(BoxReader& boxes, Range moov, Range* first);

}  // namespace tavro::core
