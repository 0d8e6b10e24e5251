#pragma once
// Pictures of windows for the dialog tests: a window's pixels as drawn, and a
// PNG file of them (stored deflate blocks: no compression library needed).

#include <cstdint>
#include <string>
#include <vector>

struct HWND__;

namespace veldar::testing {

struct Picture {
  int width = 0, height = 0;
  std::vector<std::uint8_t> rgb;  // rows top to bottom, 3 bytes a pixel
  // How many pixels differ from the top left one; 0: the picture is blank.
  std::size_t PixelsUnlike() const;
  // How many different colours it has.
  std::size_t Colours() const;
};

// The whole window `window`, frame included, as it is drawn now. Empty (0 x
// 0) when it cannot be read.
Picture Capture(HWND__* window);

// The PNG file's bytes for `picture`.
std::vector<std::uint8_t> PngBytes(const Picture& picture);
// Writes them to `path` (UTF-8) through a temporary name, so a partial file
// never has the final name. False on failure.
bool WritePng(const Picture& picture, const std::string& path);

}  // namespace veldar::testing
