// Building MP4 boxes byte by byte for the readers' tests.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace box_builder {

using Bytes = std::vector<std::uint8_t>;

inline void put32(Bytes& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

inline Bytes box(const char* type, std::initializer_list<Bytes> children) {
  Bytes body;
  for (const Bytes& c : children) body.insert(body.end(), c.begin(), c.end());
  Bytes out;
  put32(out, static_cast<std::uint32_t>(body.size() + 8));
  out.insert(out.end(), type, type + 4);
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

inline Bytes joined(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A track whose sample entry (a visual one's 78 bytes of fields, then `children`) has the size
// and whose sample table the count.
inline Bytes trak(const char* handler, std::uint16_t w, std::uint16_t h, std::uint32_t samples,
                  const char* table = "stsz", const Bytes& children = {}) {
  Bytes hdlr{0, 0, 0, 0, 0, 0, 0, 0};
  hdlr.insert(hdlr.end(), handler, handler + 4);
  hdlr.resize(hdlr.size() + 13, 0);
  Bytes entry(24, 0);
  entry.insert(entry.end(), {static_cast<std::uint8_t>(w >> 8), static_cast<std::uint8_t>(w),
                             static_cast<std::uint8_t>(h >> 8), static_cast<std::uint8_t>(h)});
  entry.resize(entry.size() + 50, 0);
  entry.insert(entry.end(), children.begin(), children.end());
  Bytes stsd{0, 0, 0, 0, 0, 0, 0, 1};
  Bytes sizes(8, 0);
  put32(sizes, samples);
  return box("trak",
             {box("tkhd", {Bytes(84, 0)}),
              box("mdia", {box("hdlr", {hdlr}),
                           box("minf", {box("stbl", {box("stsd", {stsd, box("avc1", {entry})}),
                                                     box(table, {sizes})})})})});
}

inline Bytes moov(std::initializer_list<Bytes> traks) {
  Bytes body = box("mvhd", {Bytes(100, 0)});
  for (const Bytes& t : traks) body.insert(body.end(), t.begin(), t.end());
  return box("moov", {body});
}

inline const Bytes kFtyp = box("ftyp", {Bytes{'i', 's', 'o', 'm', 0, 0, 2, 0}});
inline const Bytes kMdat = box("mdat", {Bytes(300, 1)});

// An MP4 as the hosts write it: the index after the data, a sound track beside the video one.
inline Bytes mp4(std::uint16_t w = 320, std::uint16_t h = 180, std::uint32_t frames = 48) {
  return joined(
      {kFtyp, box("free", {}), kMdat, moov({trak("soun", 0, 0, 90), trak("vide", w, h, frames)})});
}

}  // namespace box_builder
