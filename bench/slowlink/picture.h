#pragma once

// What the slow-link benchmark's desktop shows, apart from how it reaches a screen: a static part
// (a title bar and a page of "text") and a picture that pans by a few pixels every frame, as a
// photo or a video does. Each frame carries its number in a barcode that survives JPEG, so the
// benchmark can read from a viewer's canvas which frame it shows. The X11 program (desktop.cpp)
// and the Windows one (win32/desktop.cpp) draw these same pixels; animation.h is their common
// protocol and pace.
//
// Pixels are 0x00RRGGBB, which is also how both X (depth 24) and a 32-bit Windows DIB lay them out.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace velmora::slowlink {

// The barcode: one row of 16 cells with the frame number's bits, one with their complement, so
// that a reader can tell a whole code from a torn or smeared one. Cells are 16 px, aligned with
// JPEG's 8 and 16 px blocks. The benchmark's reader (slowlink.mjs) knows these numbers.
constexpr int kCell = 16;
constexpr int kBits = 16;
constexpr int kCodeMargin = 16;

constexpr int kTexture = 1024; // the panned picture repeats every kTexture pixels both ways

// Where the picture sits on the screen.
constexpr int kPictureX = 24;
constexpr int kPictureY = 56;

constexpr std::uint32_t kBackground = 0xe8ebef;

struct Options
{
    double fps = 60;
    int pictureWidth = 640;
    int pictureHeight = 480;
};

// The command line; prints the usage and exits with 2 when it is wrong.
Options parseOptions(int argc, char **argv);

// Whether the picture fits on a screen of that size.
bool pictureFits(const Options &options, int screenWidth, int screenHeight);

// The photo-like picture that frames pan across: kTexture * kTexture pixels, the same every run.
std::vector<std::uint32_t> makeTexture();

struct Fill
{
    int x;
    int y;
    int width;
    int height;
    std::uint32_t colour;
};

// The static part of a screen of that size, as rectangles to fill in order.
std::vector<Fill> staticPart(const Options &options, int screenWidth, int screenHeight);

// Fills one rectangle of `pixels` (rows of `stride` pixels); the rectangle must lie inside.
void fill(std::uint32_t *pixels, std::size_t stride, const Fill &rectangle);

// The picture of frame `frame` (the texture panned, and the frame's barcode) into `pixels`, rows
// of `stride` pixels, options.pictureWidth * options.pictureHeight of them.
void paintPicture(const Options &options, const std::vector<std::uint32_t> &texture, int frame,
                  std::uint32_t *pixels, std::size_t stride);

// Writes pixels as raw RGB, three bytes each, row after row.
bool writeRgb(const std::string &file, const std::uint32_t *pixels, std::size_t stride, int width,
              int height);

} // namespace velmora::slowlink
