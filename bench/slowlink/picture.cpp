#include "picture.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

namespace velmora::slowlink {

namespace {

// Periodic value noise in [0, 1): random values on a lattice of `step` pixels, smoothly
// interpolated, repeating every kTexture pixels.
class Lattice
{
public:
    Lattice(int step, std::mt19937 &random) : step(step), cells(kTexture / step)
    {
        std::uniform_real_distribution<float> value(0.f, 1.f);
        values.resize(std::size_t(cells) * cells);
        for (float &v : values)
            v = value(random);
    }

    float at(int x, int y) const
    {
        const int cx = x / step;
        const int cy = y / step;
        const float fx = smooth(float(x % step) / step);
        const float fy = smooth(float(y % step) / step);
        const float a = cell(cx, cy), b = cell(cx + 1, cy);
        const float c = cell(cx, cy + 1), d = cell(cx + 1, cy + 1);
        return (a + (b - a) * fx) * (1 - fy) + (c + (d - c) * fx) * fy;
    }

private:
    static float smooth(float t) { return t * t * (3 - 2 * t); }
    float cell(int x, int y) const
    {
        return values[std::size_t(y % cells) * cells + std::size_t(x % cells)];
    }

    int step;
    int cells;
    std::vector<float> values;
};

[[noreturn]] void usage()
{
    std::fprintf(stderr, "usage: velmora-slowlink-desktop [--fps N] [--picture WxH]\n");
    std::exit(2);
}

} // namespace

Options parseOptions(int argc, char **argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc)
            usage();
        const char *value = argv[++i];
        if (arg == "--fps") {
            options.fps = std::atof(value);
            if (!(options.fps > 0 && options.fps <= 240))
                usage();
        } else if (arg == "--picture") {
            if (std::sscanf(value, "%dx%d", &options.pictureWidth, &options.pictureHeight) != 2 ||
                options.pictureWidth < 2 * kCodeMargin + kBits * kCell ||
                options.pictureHeight < 2 * kCodeMargin + 2 * kCell)
                usage();
        } else {
            usage();
        }
    }
    return options;
}

bool pictureFits(const Options &options, int screenWidth, int screenHeight)
{
    return kPictureX + options.pictureWidth <= screenWidth &&
           kPictureY + options.pictureHeight <= screenHeight;
}

// A photo-like picture: colour from several octaves of noise, and a little grain.
std::vector<std::uint32_t> makeTexture()
{
    std::mt19937 random(20240607);
    std::vector<Lattice> red, green, blue;
    for (int step : {256, 64, 16, 4}) {
        red.emplace_back(step, random);
        green.emplace_back(step, random);
        blue.emplace_back(step, random);
    }
    const float weights[] = {0.55f, 0.25f, 0.14f, 0.06f};
    std::uniform_int_distribution<int> grain(-3, 3);
    std::vector<std::uint32_t> pixels(std::size_t(kTexture) * kTexture);
    auto channel = [&](const std::vector<Lattice> &octaves, int x, int y) {
        float sum = 0;
        for (std::size_t i = 0; i < octaves.size(); ++i)
            sum += weights[i] * octaves[i].at(x, y);
        const int v = int(std::lround(sum * 255.f)) + grain(random);
        return std::uint32_t(std::clamp(v, 0, 255));
    };
    for (int y = 0; y < kTexture; ++y) {
        for (int x = 0; x < kTexture; ++x) {
            const std::uint32_t r = channel(red, x, y);
            const std::uint32_t g = channel(green, x, y);
            const std::uint32_t b = channel(blue, x, y);
            pixels[std::size_t(y) * kTexture + x] = (r << 16) | (g << 8) | b;
        }
    }
    return pixels;
}

std::vector<Fill> staticPart(const Options &options, int screenWidth, int screenHeight)
{
    std::vector<Fill> fills = {
        {0, 0, screenWidth, screenHeight, kBackground},
        {0, 0, screenWidth, 32, 0x2d5a2d},
        {12, 11, 120, 10, 0xffffff},
    };
    // A page of text beside the picture: words as dark bars of varied length.
    const int left = kPictureX + options.pictureWidth + 24;
    if (left + 80 < screenWidth) {
        fills.push_back(
            {left, kPictureY, screenWidth - left - 24, screenHeight - kPictureY - 24, 0xffffff});
        std::mt19937 random(7);
        std::uniform_int_distribution<int> word(12, 64);
        for (int y = kPictureY + 12; y + 10 < screenHeight - 36; y += 18) {
            for (int x = left + 10;;) {
                const int w = word(random);
                if (x + w > screenWidth - 36)
                    break;
                fills.push_back({x, y, w, 9, 0x303030});
                x += w + 7;
            }
        }
    }
    return fills;
}

void fill(std::uint32_t *pixels, std::size_t stride, const Fill &rectangle)
{
    for (int y = rectangle.y; y < rectangle.y + rectangle.height; ++y) {
        std::uint32_t *row = pixels + std::size_t(y) * stride;
        std::fill(row + rectangle.x, row + rectangle.x + rectangle.width, rectangle.colour);
    }
}

void paintPicture(const Options &options, const std::vector<std::uint32_t> &texture, int frame,
                  std::uint32_t *pixels, std::size_t stride)
{
    const int w = options.pictureWidth, h = options.pictureHeight;
    const int ox = (frame * 3) % kTexture;
    const int oy = (frame * 2) % kTexture;
    for (int y = 0; y < h; ++y) {
        std::uint32_t *row = pixels + std::size_t(y) * stride;
        const std::uint32_t *source = &texture[std::size_t((y + oy) % kTexture) * kTexture];
        for (int x = 0; x < w;) {
            const int sx = (x + ox) % kTexture;
            const int run = std::min(w - x, kTexture - sx);
            std::memcpy(row + x, source + sx, std::size_t(run) * 4);
            x += run;
        }
    }
    const unsigned number = unsigned(frame) & 0xffff;
    for (int row = 0; row < 2; ++row) {
        for (int bit = 0; bit < kBits; ++bit) {
            const bool set = ((row ? ~number : number) >> (kBits - 1 - bit)) & 1;
            fill(pixels, stride,
                 {kCodeMargin + bit * kCell, kCodeMargin + row * kCell, kCell, kCell,
                  set ? 0xffffffu : 0x000000u});
        }
    }
}

bool writeRgb(const std::string &file, const std::uint32_t *pixels, std::size_t stride, int width,
              int height)
{
    std::vector<unsigned char> rgb(std::size_t(width) * height * 3);
    std::size_t at = 0;
    for (int y = 0; y < height; ++y) {
        const std::uint32_t *row = pixels + std::size_t(y) * stride;
        for (int x = 0; x < width; ++x) {
            rgb[at++] = (row[x] >> 16) & 0xff;
            rgb[at++] = (row[x] >> 8) & 0xff;
            rgb[at++] = row[x] & 0xff;
        }
    }
    FILE *out = std::fopen(file.c_str(), "wb");
    if (!out)
        return false;
    const bool written = std::fwrite(rgb.data(), 1, rgb.size(), out) == rgb.size();
    return std::fclose(out) == 0 && written;
}

} // namespace velmora::slowlink
