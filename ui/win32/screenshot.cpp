#include "ui/win32/screenshot.h"

#include <set>

#include "ui/win32/win32_dialog.h"

// Last: its macros would rename the project's own functions declared above.
#include <windows.h>

namespace veldar::testing {
namespace {

std::uint32_t Crc32(const std::uint8_t* data, std::size_t size, std::uint32_t crc = 0) {
  static const auto table = [] {
    std::vector<std::uint32_t> values(256);
    for (std::uint32_t n = 0; n < 256; ++n) {
      std::uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      values[n] = c;
    }
    return values;
  }();
  crc = ~crc;
  for (std::size_t i = 0; i < size; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

void PutBigEndian(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

void Chunk(std::vector<std::uint8_t>& out, const char* type, const std::vector<std::uint8_t>& data) {
  PutBigEndian(out, static_cast<std::uint32_t>(data.size()));
  const std::size_t start = out.size();
  out.insert(out.end(), type, type + 4);
  out.insert(out.end(), data.begin(), data.end());
  PutBigEndian(out, Crc32(out.data() + start, out.size() - start));
}

}  // namespace

std::size_t Picture::PixelsUnlike() const {
  std::size_t count = 0;
  for (std::size_t i = 3; i + 2 < rgb.size(); i += 3) {
    if (rgb[i] != rgb[0] || rgb[i + 1] != rgb[1] || rgb[i + 2] != rgb[2]) ++count;
  }
  return count;
}

std::size_t Picture::Colours() const {
  std::set<std::uint32_t> colours;
  for (std::size_t i = 0; i + 2 < rgb.size(); i += 3) colours.insert(rgb[i] << 16 | rgb[i + 1] << 8 | rgb[i + 2]);
  return colours.size();
}

Picture Capture(HWND window) {
  Picture picture;
  RECT frame{};
  if (!GetWindowRect(window, &frame)) return picture;
  const int width = frame.right - frame.left, height = frame.bottom - frame.top;
  if (width <= 0 || height <= 0) return picture;

  const HDC screen = GetDC(nullptr);
  const HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;  // top-down
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  const HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  const HGDIOBJ previous = SelectObject(memory, bitmap);
  // The pixels on the screen, where the window is on top: what a user sees,
  // frame and children included.
  SetWindowPos(window, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_SHOWWINDOW);
  RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
  BitBlt(memory, 0, 0, width, height, screen, frame.left, frame.top, SRCCOPY);
  GdiFlush();
  picture.width = width;
  picture.height = height;
  picture.rgb.resize(static_cast<std::size_t>(width) * height * 3);
  const auto* source = static_cast<const std::uint8_t*>(bits);
  for (std::size_t i = 0, n = static_cast<std::size_t>(width) * height; i < n; ++i) {
    picture.rgb[i * 3] = source[i * 4 + 2];
    picture.rgb[i * 3 + 1] = source[i * 4 + 1];
    picture.rgb[i * 3 + 2] = source[i * 4];
  }
  SelectObject(memory, previous);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return picture;
}

std::vector<std::uint8_t> PngBytes(const Picture& picture) {
  std::vector<std::uint8_t> out{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::vector<std::uint8_t> header;
  PutBigEndian(header, static_cast<std::uint32_t>(picture.width));
  PutBigEndian(header, static_cast<std::uint32_t>(picture.height));
  header.insert(header.end(), {8, 2, 0, 0, 0});  // 8 bits, RGB, deflate, no filter, no interlace
  Chunk(out, "IHDR", header);

  // The rows, each after its filter byte (none), in a zlib stream of stored
  // blocks.
  std::vector<std::uint8_t> raw;
  const std::size_t stride = static_cast<std::size_t>(picture.width) * 3;
  for (int y = 0; y < picture.height; ++y) {
    raw.push_back(0);
    raw.insert(raw.end(), picture.rgb.begin() + y * stride, picture.rgb.begin() + (y + 1) * stride);
  }
  std::vector<std::uint8_t> zlib{0x78, 0x01};
  std::size_t done = 0;
  do {
    const std::size_t size = std::min<std::size_t>(raw.size() - done, 65535);
    const bool last = done + size == raw.size();
    zlib.push_back(last ? 1 : 0);
    zlib.push_back(static_cast<std::uint8_t>(size));
    zlib.push_back(static_cast<std::uint8_t>(size >> 8));
    zlib.push_back(static_cast<std::uint8_t>(~size));
    zlib.push_back(static_cast<std::uint8_t>(~size >> 8));
    zlib.insert(zlib.end(), raw.begin() + done, raw.begin() + done + size);
    done += size;
  } while (done < raw.size());
  std::uint32_t a = 1, b = 0;
  for (std::uint8_t byte : raw) {
    a = (a + byte) % 65521;
    b = (b + a) % 65521;
  }
  PutBigEndian(zlib, b << 16 | a);
  Chunk(out, "IDAT", zlib);
  Chunk(out, "IEND", {});
  return out;
}

bool WritePng(const Picture& picture, const std::string& path) {
  const std::vector<std::uint8_t> bytes = PngBytes(picture);
  const std::wstring target = WindowText(path), temporary = target + L".part";
  const HANDLE file =
      CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                  written == bytes.size() && FlushFileBuffers(file);
  CloseHandle(file);
  if (ok && MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return true;
  DeleteFileW(temporary.c_str());
  return false;
}

}  // namespace veldar::testing
