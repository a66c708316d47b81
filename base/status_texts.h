#pragma once
// Every text the status line shows, exactly as shown.

namespace tamblet {

inline constexpr char kDriverNotFoundText[] = "QELMAR USB Driver not found!!";

inline constexpr char kFileReadingText[] = "File reading....";
inline constexpr char kFileNotFoundText[] = "File not found!!";
inline constexpr char kFileReadErrorText[] = "File read error!!";
inline constexpr char kFileFormatErrorText[] = "File format error!!";
// The two memory texts differ by the closing period on purpose: with it when the
// file's read buffer cannot be had, without it when the image or a request frame
// cannot be, so that a report tells the two apart.
inline constexpr char kReadBufferMemoryText[] = "Not enough memory! try closing some applications.";
inline constexpr char kOutOfMemoryText[] = "Not enough memory! try closing some applications";

inline constexpr char kDeviceOpenText[] = "Device open....";
inline constexpr char kDeviceOpenFailedText[] = "Device open failed!!";
inline constexpr char kGetModelNameFailedText[] = "Get model name failed!!";
inline constexpr char kCompareModelNameErrorText[] = "Compare model name error!!";
inline constexpr char kSelectDeviceFailedText[] = "Select Device failed!!";
inline constexpr char kCopyingText[] = "Copying....";
inline constexpr char kCopyFailedText[] = "Copy failed!!";
inline constexpr char kLoadFailedText[] = "Load failed!!";
inline constexpr char kUninstallingText[] = "Uninstalling....";
inline constexpr char kUninstallFailedText[] = "Uninstall failed!!";
inline constexpr char kInstallingText[] = "Installing....";
inline constexpr char kInstallFailedText[] = "Install failed!!";
inline constexpr char kVerifyingText[] = "Verifying....";
inline constexpr char kVerifyErrorText[] = "Verify error!!";
inline constexpr char kModeOffErrorText[] = "Mode off error!!";
inline constexpr char kCompleteText[] = "Complete!";

}  // namespace tamblet
