#pragma once
// Browse's preview of an update file: the version text of its header shown in
// the status line, read from the first 128 bytes and nothing more.

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "app/window_layer.h"

namespace tamblet {

inline constexpr size_t kPreviewSize = 128;

// "Load Version " and the header's version: bytes 16 on, ended by the first NUL
// and at most 4 characters long.
std::string FormatVersionPreview(std::span<const uint8_t, kPreviewSize> header);

// The preview of the file at `path`; none when the file cannot be opened or
// holds fewer than 128 bytes.
std::optional<std::string> ReadVersionPreview(const std::string& path);

// Browse: the file-open dialog, its path into the file-name box and back, the
// preview into the status line when there is one. Returns the selected path.
std::string BrowseForUpdateFile(WindowLayer& window);

}  // namespace tamblet
