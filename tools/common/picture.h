// The picture pipeline that yurn-pcx encode and yurn-show share: any picture
// the image library reads, laid over black where it is transparent, turned
// upright by its EXIF orientation and fitted into a frame, as 0x00RRGGBB
// pixels ready for encode_pcx_rgb.  Header-only, like cli.h: each tool
// compiles it in.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <libexif/exif-data.h>
#include <stb_image.h>
#include <stb_image_resize.h>

#include "common/cli.h"

namespace picture {

enum class Fit { crop, letterbox, stretch };

// The largest picture read: more than the largest photographs (134 million
// pixels, 400 MB decoded), far less than what a small compressed file can
// announce.
constexpr uint64_t MAX_INPUT_PIXELS = uint64_t(1) << 27;

struct Rect {
    int x, y, w, h;
};

// Scales the RGB picture into a width x height frame as the fit asks.
inline std::vector<uint8_t> fit_picture(const uint8_t* src, int sw, int sh, int width, int height, Fit fit)
{
    std::vector<uint8_t> out(size_t(width) * height * 3, 0);
    Rect from{0, 0, sw, sh}, to{0, 0, width, height};
    const int64_t wide = int64_t(sw) * height, tall = int64_t(width) * sh;  // compare sw/sh with width/height
    if (fit == Fit::crop && wide != tall) {
        if (wide > tall) {  // source wider than the frame: cut the sides
            from.w = std::max(1, int((int64_t(sh) * width + height / 2) / height));
            from.x = (sw - from.w) / 2;
        } else {
            from.h = std::max(1, int((int64_t(sw) * height + width / 2) / width));
            from.y = (sh - from.h) / 2;
        }
    } else if (fit == Fit::letterbox && wide != tall) {
        if (wide > tall) {
            to.h = std::max(1, int((int64_t(sh) * width + sw / 2) / sw));
            to.y = (height - to.h) / 2;
        } else {
            to.w = std::max(1, int((int64_t(sw) * height + sh / 2) / sh));
            to.x = (width - to.w) / 2;
        }
    }
    const uint8_t* in = src + (size_t(from.y) * sw + from.x) * 3;
    uint8_t* dst = out.data() + (size_t(to.y) * width + to.x) * 3;
    if (from.w == to.w && from.h == to.h) {  // same size: the pixels as they are
        for (int y = 0; y < to.h; ++y)
            std::memcpy(dst + size_t(y) * width * 3, in + size_t(y) * sw * 3, size_t(to.w) * 3);
        return out;
    }
    if (!stbir_resize_uint8_srgb(in, from.w, from.h, sw * 3, dst, to.w, to.h, width * 3, 3,
                                 STBIR_ALPHA_CHANNEL_NONE, 0))
        cli::fail("no se pudo escalar la imagen");
    return out;
}

// The EXIF orientation of a JPEG (1 to 8), 1 when it has none.
inline int exif_orientation(const std::vector<uint8_t>& file)
{
    if (file.size() < 4 || file[0] != 0xFF || file[1] != 0xD8)
        return 1;
    ExifData* data = exif_data_new_from_data(file.data(), unsigned(std::min<size_t>(file.size(), 1u << 30)));
    if (!data)
        return 1;
    int orientation = 1;
    ExifEntry* entry = exif_content_get_entry(data->ifd[EXIF_IFD_0], EXIF_TAG_ORIENTATION);
    if (entry && entry->format == EXIF_FORMAT_SHORT && entry->components >= 1 && entry->data)
        orientation = exif_get_short(entry->data, exif_data_get_byte_order(data));
    exif_data_unref(data);
    return orientation >= 1 && orientation <= 8 ? orientation : 1;
}

// Turns the RGB picture upright as its EXIF orientation says; 5 to 8 swap
// width and height.
inline std::vector<uint8_t> apply_orientation(const uint8_t* src, int& w, int& h, int orientation)
{
    const int dw = orientation >= 5 ? h : w, dh = orientation >= 5 ? w : h;
    std::vector<uint8_t> out(size_t(dw) * dh * 3);
    for (int dy = 0; dy < dh; ++dy)
        for (int dx = 0; dx < dw; ++dx) {
            int sx = dx, sy = dy;
            switch (orientation) {
            case 2: sx = w - 1 - dx; break;                  // mirrored
            case 3: sx = w - 1 - dx; sy = h - 1 - dy; break;  // upside down
            case 4: sy = h - 1 - dy; break;                  // mirrored upside down
            case 5: sx = dy; sy = dx; break;                 // transposed
            case 6: sx = dy; sy = h - 1 - dx; break;         // to be turned a quarter clockwise
            case 7: sx = w - 1 - dy; sy = h - 1 - dx; break; // transversed
            case 8: sx = w - 1 - dy; sy = dx; break;         // to be turned a quarter anticlockwise
            default: break;
            }
            std::memcpy(&out[(size_t(dy) * dw + dx) * 3], src + (size_t(sy) * w + sx) * 3, 3);
        }
    w = dw;
    h = dh;
    return out;
}

// Why stb could not read a picture, in Spanish.
inline std::string load_failure(const std::string& in)
{
    const std::string reason = stbi_failure_reason() ? stbi_failure_reason() : "";
    if (reason == "unknown image type")
        return in + " no es una imagen de un formato que se lea (PNG, JPEG, BMP, TGA, GIF, PSD, PNM)";
    if (reason == "outofmem")
        return "no hay memoria para la imagen " + in;
    return in + " está dañada o usa una variante que no se lee";
}


// What a picture held of transparency.
enum class Transparency { none, partly, fully };

struct Fitted {
    std::vector<uint32_t> pixels;  // width * height, 0x00RRGGBB
    int source_width = 0, source_height = 0;  // upright, before fitting
    Transparency transparency = Transparency::none;
};

// Reads the picture file in (bytes already loaded), lays every pixel over
// black by its alpha (a hidden colour under a transparent pixel would
// otherwise show), turns it upright and fits it into width x height.  Ends
// the tool naming in on a picture it cannot read or one too large.
inline Fitted load_fitted(const std::vector<uint8_t>& file, const std::string& in, Fit fit, int width, int height)
{
    int sw = 0, sh = 0, channels = 0;
    const int file_size = int(std::min<size_t>(file.size(), 0x7FFFFFFF));
    // A compressed picture of a few kilobytes can announce billions of
    // pixels: the size is checked before it is decoded.
    if (stbi_info_from_memory(file.data(), file_size, &sw, &sh, &channels) &&
        uint64_t(sw) * uint64_t(sh) > MAX_INPUT_PIXELS)
        cli::fail("%s mide %dx%d: más de %llu millones de píxeles, demasiado para convertirla; redúcela antes",
                  in.c_str(), sw, sh, static_cast<unsigned long long>(MAX_INPUT_PIXELS / 1000000));
    std::unique_ptr<uint8_t, void (*)(void*)> rgba(stbi_load_from_memory(file.data(), file_size, &sw, &sh, &channels, 4),
                                                  stbi_image_free);
    if (!rgba)
        cli::fail("%s", load_failure(in).c_str());
    Fitted out;
    // Over black: each channel times alpha / 255, rounded.  An opaque pixel
    // keeps its value exactly.
    const size_t count = size_t(sw) * size_t(sh);
    std::vector<uint8_t> rgb(count * 3);
    size_t clear = 0, seen_through = 0;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* p = rgba.get() + 4 * i;
        const uint32_t a = p[3];
        clear += a == 0;
        seen_through += a < 255;
        for (int c = 0; c < 3; ++c)
            rgb[3 * i + size_t(c)] = uint8_t((uint32_t(p[c]) * a + 127) / 255);
    }
    rgba.reset();
    out.transparency = clear == count && count > 0 ? Transparency::fully
                       : seen_through > 0          ? Transparency::partly
                                                   : Transparency::none;
    std::vector<uint8_t> upright;
    const uint8_t* shown = rgb.data();
    if (const int orientation = exif_orientation(file); orientation != 1) {
        upright = apply_orientation(rgb.data(), sw, sh, orientation);
        shown = upright.data();
    }
    out.source_width = sw;
    out.source_height = sh;
    const std::vector<uint8_t> fitted = fit_picture(shown, sw, sh, width, height, fit);
    out.pixels.resize(size_t(width) * size_t(height));
    for (size_t i = 0; i < out.pixels.size(); ++i)
        out.pixels[i] = uint32_t(fitted[3 * i]) << 16 | uint32_t(fitted[3 * i + 1]) << 8 | fitted[3 * i + 2];
    return out;
}

// The warning a transparent picture gets, on standard error; nothing for an opaque one.
inline void warn_transparency(const std::string& in, Transparency transparency)
{
    if (transparency == Transparency::fully)
        cli::warn("%s es transparente entera: sale negra", in.c_str());
    else if (transparency == Transparency::partly)
        cli::warn("%s tiene píxeles transparentes: se ponen sobre negro", in.c_str());
}

}  // namespace picture
