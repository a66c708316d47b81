#include "app/version_preview.h"

#include <cstring>

#include "update/file_reader.h"

namespace tamblet {
namespace {

constexpr size_t kVersionOffset = 16;
constexpr size_t kVersionSize = 4;
constexpr char kPreviewPrefix[] = "Load Version ";

}  // namespace

std::string FormatVersionPreview(std::span<const uint8_t, kPreviewSize> header) {
  const auto* version = reinterpret_cast<const char*>(header.data() + kVersionOffset);
  const void* nul = std::memchr(version, '\0', kVersionSize);
  const size_t length =
      nul ? static_cast<size_t>(static_cast<const char*>(nul) - version) : kVersionSize;
  return kPreviewPrefix + std::string(version, length);
}

std::optional<std::string> ReadVersionPreview(const std::string& path) {
  uint8_t header[kPreviewSize] = {};
  if (!ReadFileStart(path, header)) return std::nullopt;
  return FormatVersionPreview(header);
}

std::string BrowseForUpdateFile(WindowLayer& window) {
  // Cancel gives "" and goes on like OK: the box and the path become empty.
  window.SetWindowText(IDC_FILE_NAME, window.RunFileOpenDialog());
  std::string path = window.GetWindowText(IDC_FILE_NAME);
  if (auto preview = ReadVersionPreview(path)) window.SetWindowText(IDC_STATUS, *preview);
  return path;
}

}  // namespace tamblet
