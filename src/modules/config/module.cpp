// Module `config`: every limit and format constant of the add-on, the site address and the
// import-page URL. Loads nothing of the package.
#include <string>
#include <string_view>

#include "core/url.hpp"
#include "py/py.hpp"
#include "tavro_version.hpp"

namespace {

using py::Ref;

// The default key of `_ybd`, and the texts it unscrambles at load time. The stored forms keep
// the addresses out of plain-text searches of the binary.
constexpr unsigned char kKey[32] = {
    0xce, 0x41, 0xd0, 0x44, 0xfc, 0x6a, 0x06, 0xc1, 0x3c, 0x67, 0x4e, 0x94, 0xe2, 0xf4, 0x3a, 0x7a,
    0x97, 0x2a, 0x58, 0xa3, 0xf7, 0x40, 0xa6, 0x1d, 0x98, 0x8a, 0x55, 0x0e, 0xd9, 0x18, 0xd9, 0x80};
constexpr unsigned char kSiteUrl[] = {0xa6, 0x35, 0xa4, 0x34, 0x8f, 0x50, 0x29, 0xee, 0x5f,
                                      0x06, 0x20, 0xe2, 0x83, 0x87, 0x14, 0x1f, 0xef, 0x4b,
                                      0x35, 0xd3, 0x9b, 0x25, 0x88, 0x7e, 0xf7, 0xe7};
constexpr unsigned char kImportPath[] = {0xe1, 0x28, 0xbd, 0x34, 0x93, 0x18, 0x72, 0xee,
                                         0x5e, 0x0b, 0x2b, 0xfa, 0x86, 0x91, 0x48};
constexpr unsigned char kEnvSiteUrl[] = {0x82, 0x14, 0x9d, 0x0b, 0xa3, 0x39, 0x4f,
                                         0x95, 0x79, 0x38, 0x1b, 0xc6, 0xae};
constexpr unsigned char kBridgeHost[] = {0xff, 0x73, 0xe7, 0x6a, 0xcc, 0x44, 0x36, 0xef, 0x0d};

template <size_t N>
std::string_view bytes_of(const unsigned char (&a)[N]) {
  return {reinterpret_cast<const char*>(a), N};
}

// Unscrambles and decodes as strict UTF-8. An empty input is empty text whatever the key; an
// empty key with input is a division by zero, as the modulo of the cyclic key would be.
Ref unscramble(std::string_view data, std::string_view key) {
  if (data.empty()) return py::str("");
  if (key.empty()) py::raise(PyExc_ZeroDivisionError, "integer division or modulo by zero");
  return py::str(tavro::core::xor_bytes(data, key));
}

Ref ybd(PyObject*, const py::Params& p) {
  std::string data = p.bytes(0);
  std::string key = p.given(1) ? p.bytes(1) : std::string(bytes_of(kKey));
  return unscramble(data, key);
}

PY_EXPORT(config,
          py::function<"_ybd", "_b, _k=<key>", "Unscramble a stored byte string to text.", ybd>());

// The site address in force: the environment override when set and non-empty, else SITE_URL;
// every trailing "/" removed. Read anew at every call.
Ref site_url_of(PyObject* module) {
  Ref env_name = py::global(module, "ENV_SITE_URL");
  Ref os_environ = py::attr(py::import("os"), "environ");
  Ref value = py::call_method(os_environ, "get", env_name);
  if (value.is_none() || !py::truthy(value)) value = py::global(module, "SITE_URL");
  std::string text = py::utf8(value);
  size_t end = text.find_last_not_of('/');
  text.resize(end == std::string::npos ? 0 : end + 1);
  return py::str(text);
}

Ref site_url(PyObject* module, const py::Params&) { return site_url_of(module); }

Ref build_import_url(PyObject* module, const py::Params& p) {
  long long port = p.integer(0);
  std::string token = p.text(1);
  std::string kind = p.text(2);
  return py::format("{}{}#port={}&token={}&kind={}", site_url_of(module),
                    py::global(module, "IMPORT_PATH"), port, tavro::core::percent_encode(token),
                    tavro::core::percent_encode(kind));
}

PY_EXPORT(config, py::function<"build_import_url", "port, token, kind",
                               "The import-page address for one bridge job.", build_import_url>());

PY_EXPORT(
    config,
    py::function<"site_url", "", "The site address in force, without trailing '/'.", site_url>());

void exec_config(PyObject* m) {
  using py::add;
  using py::integer;
  using py::str;
  using py::tuple;
  add(m, "ADDON_VERSION", tuple(TAVRO_VERSION_MAJOR, TAVRO_VERSION_MINOR, TAVRO_VERSION_PATCH));
  add(m, "SITE_URL", unscramble(bytes_of(kSiteUrl), bytes_of(kKey)));
  add(m, "IMPORT_PATH", unscramble(bytes_of(kImportPath), bytes_of(kKey)));
  add(m, "ENV_SITE_URL", unscramble(bytes_of(kEnvSiteUrl), bytes_of(kKey)));
  add(m, "MAX_VIDEO_SECONDS", integer(30));
  add(m, "MAX_VIDEO_BYTES", integer(200LL * 1048576));
  add(m, "MAX_IMAGE_BYTES", integer(20LL * 1048576));
  add(m, "VIDEO_FPS", integer(24));
  add(m, "VIDEO_CONTAINER", str("MPEG4"));
  add(m, "VIDEO_CODEC", str("H264"));
  add(m, "LOCAL_VIDEO_EXTS", tuple(".mp4", ".mov", ".webm", ".avi", ".mkv", ".m4v"));
  add(m, "RENDER_ENGINE", str("BLENDER_WORKBENCH"));
  add(m, "RESOLUTION_PRESETS", tuple(tuple("hd", "HD 1280", 1280), tuple("fhd", "FHD 1920", 1920)));
  add(m, "BRIDGE_HOST", unscramble(bytes_of(kBridgeHost), bytes_of(kKey)));
  add(m, "BRIDGE_TTL_SECONDS", integer(1800));
}

}  // namespace

PY_MODULE(config, "Limits, formats, the site address and the import URL.", exec_config, void)
