#include "gui/program_icon.h"

#include <wx/icon.h>

#include <algorithm>
#include <cmath>

namespace velmora::gui {
namespace {

struct Rgb {
  unsigned char r, g, b;
};

// The shapes on a unit square (0..1 both ways, y down), painted back to front; the first
// one that covers a point gives its colour.
bool InRoundedRect(double x, double y, double x0, double y0, double x1, double y1, double r) {
  if (x < x0 || x > x1 || y < y0 || y > y1) return false;
  const double cx = std::clamp(x, x0 + r, x1 - r);
  const double cy = std::clamp(y, y0 + r, y1 - r);
  return (x - cx) * (x - cx) + (y - cy) * (y - cy) <= r * r;
}

bool InArrow(double x, double y) {
  // A download arrow on the handset's display: a shaft and a head pointing down.
  const bool shaft = x >= 0.455 && x <= 0.545 && y >= 0.17 && y <= 0.33;
  const double headTop = 0.29;
  const double headBottom = 0.43;
  const bool head = y >= headTop && y <= headBottom &&
                    std::abs(x - 0.5) <= 0.13 * (headBottom - y) / (headBottom - headTop);
  return shaft || head;
}

// The colour at a point, or nothing (transparent).
bool ColourAt(double x, double y, Rgb* out) {
  static constexpr Rgb kArrow{0xE8, 0x6A, 0x10};
  static constexpr Rgb kScreen{0xB8, 0xE0, 0xC8};
  static constexpr Rgb kKey{0xD8, 0xDC, 0xE0};
  static constexpr Rgb kBody{0x2E, 0x3B, 0x4E};
  static constexpr Rgb kAntenna{0x2E, 0x3B, 0x4E};
  if (InArrow(x, y)) return *out = kArrow, true;
  if (InRoundedRect(x, y, 0.30, 0.12, 0.70, 0.47, 0.04)) return *out = kScreen, true;
  for (int row = 0; row < 3; ++row) {
    for (int col = 0; col < 3; ++col) {
      const double kx = 0.36 + col * 0.14;
      const double ky = 0.57 + row * 0.12;
      if (InRoundedRect(x, y, kx - 0.045, ky - 0.035, kx + 0.045, ky + 0.035, 0.02))
        return *out = kKey, true;
    }
  }
  if (InRoundedRect(x, y, 0.24, 0.05, 0.76, 0.96, 0.09)) return *out = kBody, true;
  if (x >= 0.62 && x <= 0.69 && y >= 0.0 && y <= 0.08) return *out = kAntenna, true;
  return false;
}

}  // namespace

wxImage ProgramIconImage(int size) {
  wxImage image(size, size);
  image.InitAlpha();
  // Four by four samples a pixel keep the edges smooth at 16 pixels.
  constexpr int kSamples = 4;
  for (int py = 0; py < size; ++py) {
    for (int px = 0; px < size; ++px) {
      int covered = 0;
      int r = 0, g = 0, b = 0;
      for (int sy = 0; sy < kSamples; ++sy) {
        for (int sx = 0; sx < kSamples; ++sx) {
          const double x = (px + (sx + 0.5) / kSamples) / size;
          const double y = (py + (sy + 0.5) / kSamples) / size;
          Rgb c{};
          if (!ColourAt(x, y, &c)) continue;
          ++covered;
          r += c.r;
          g += c.g;
          b += c.b;
        }
      }
      if (covered == 0) {
        image.SetRGB(px, py, 0, 0, 0);
        image.SetAlpha(px, py, 0);
        continue;
      }
      image.SetRGB(px, py, static_cast<unsigned char>(r / covered),
                   static_cast<unsigned char>(g / covered), static_cast<unsigned char>(b / covered));
      image.SetAlpha(px, py, static_cast<unsigned char>(covered * 255 / (kSamples * kSamples)));
    }
  }
  return image;
}

wxIconBundle ProgramIcons() {
  wxIconBundle bundle;
  for (int size : {16, 32, 48}) {
    wxIcon icon;
    icon.CopyFromBitmap(ProgramIconBitmap(size));
    bundle.AddIcon(icon);
  }
  return bundle;
}

}  // namespace velmora::gui
