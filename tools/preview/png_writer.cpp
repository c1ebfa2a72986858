#include "tools/preview/png_writer.h"

#include <png.h>

#include <csetjmp>
#include <cstdio>

namespace lightvol_preview {

RgbImage image_from_texels(const std::vector<uint32_t>& texels, int32_t width, int32_t height,
                           int32_t scale) {
    RgbImage image;
    image.width = width * scale;
    image.height = height * scale;
    image.rgb.resize(static_cast<size_t>(image.width) * image.height * 3);
    for (int32_t y = 0; y < image.height; ++y) {
        const uint32_t* row = texels.data() + static_cast<size_t>(y / scale) * width;
        uint8_t* out = image.rgb.data() + static_cast<size_t>(y) * image.width * 3;
        for (int32_t x = 0; x < image.width; ++x) {
            const uint32_t t = row[x / scale];
            *out++ = static_cast<uint8_t>(t >> 16);
            *out++ = static_cast<uint8_t>(t >> 8);
            *out++ = static_cast<uint8_t>(t);
        }
    }
    return image;
}

namespace {

// Only plain data lives across setjmp: libpng reports errors by longjmp.
struct PngSink {
    std::vector<uint8_t>* bytes;
    char message[256];
};

void write_bytes(png_structp png, png_bytep data, png_size_t length) {
    auto* sink = static_cast<PngSink*>(png_get_io_ptr(png));
    bool stored = true;
    try {
        sink->bytes->insert(sink->bytes->end(), data, data + length);
    } catch (...) {
        stored = false;
    }
    if (!stored) png_error(png, "out of memory");
}

void flush_nothing(png_structp) {}

void on_error(png_structp png, png_const_charp message) {
    auto* sink = static_cast<PngSink*>(png_get_error_ptr(png));
    std::snprintf(sink->message, sizeof sink->message, "%s",
                  message ? message : "unknown libpng error");
    png_longjmp(png, 1);
}

void on_warning(png_structp, png_const_charp) {}

bool write_png(PngSink* sink, const uint8_t* rgb, int32_t width, int32_t height) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, sink, on_error, on_warning);
    if (!png) return false;
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_set_write_fn(png, sink, write_bytes, flush_nothing);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int32_t y = 0; y < height; ++y) {
        // libpng takes a non-const row pointer but only reads it.
        png_write_row(png, const_cast<png_bytep>(rgb + static_cast<size_t>(y) * width * 3));
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace

bool encode_png(const RgbImage& image, std::vector<uint8_t>& out, std::string& error) {
    if (image.width <= 0 || image.height <= 0 ||
        image.rgb.size() != static_cast<size_t>(image.width) * image.height * 3) {
        error = "cannot encode an empty or malformed picture";
        return false;
    }
    out.clear();
    PngSink sink{&out, {}};
    if (write_png(&sink, image.rgb.data(), image.width, image.height)) return true;
    error =
        std::string("PNG encoding failed: ") + (sink.message[0] ? sink.message : "out of memory");
    out.clear();
    return false;
}

}  // namespace lightvol_preview
