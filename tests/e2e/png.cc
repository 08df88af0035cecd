// A PNG writer with stored (uncompressed) deflate blocks: screenshots without a library.
#include <array>
#include <cstdint>
#include <fstream>
#include <string>

#include "harness.h"

namespace e2e {

namespace {

std::uint32_t crc32(const std::string& bytes) {
    std::uint32_t crc = 0xFFFFFFFFU;
    for (const char c : bytes) {
        crc ^= static_cast<unsigned char>(c);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xEDB88320U & (0U - (crc & 1U)));
        }
    }
    return ~crc;
}

void putBigEndian(std::string& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out += static_cast<char>((value >> shift) & 0xFF);
    }
}

void putChunk(std::string& out, const std::string& type, const std::string& data) {
    putBigEndian(out, static_cast<std::uint32_t>(data.size()));
    const std::string body = type + data;
    out += body;
    putBigEndian(out, crc32(body));
}

std::string zlibStored(const std::string& raw) {
    std::string out = "\x78\x01";
    constexpr std::size_t maxBlock = 65535;
    for (std::size_t start = 0; start < raw.size() || start == 0; start += maxBlock) {
        const std::size_t length = std::min(maxBlock, raw.size() - start);
        const bool last = start + length >= raw.size();
        out += static_cast<char>(last ? 1 : 0);
        out += static_cast<char>(length & 0xFF);
        out += static_cast<char>(length >> 8);
        out += static_cast<char>(~length & 0xFF);
        out += static_cast<char>((~length >> 8) & 0xFF);
        out.append(raw, start, length);
        if (last) {
            break;
        }
    }
    std::uint32_t a = 1;
    std::uint32_t b = 0;
    for (const char c : raw) {
        a = (a + static_cast<unsigned char>(c)) % 65521;
        b = (b + a) % 65521;
    }
    putBigEndian(out, (b << 16) | a);
    return out;
}

}  // namespace

bool writePng(const Image& image, const std::string& path) {
    std::string header;
    putBigEndian(header, static_cast<std::uint32_t>(image.width));
    putBigEndian(header, static_cast<std::uint32_t>(image.height));
    header += std::string("\x08\x02\x00\x00\x00", 5);  // 8-bit RGB, no interlace
    std::string raw;
    for (int y = 0; y < image.height; ++y) {
        raw += '\0';  // no filter
        for (int x = 0; x < image.width; ++x) {
            const std::uint32_t pixel = image.at(x, y);
            raw += static_cast<char>(pixel >> 16);
            raw += static_cast<char>((pixel >> 8) & 0xFF);
            raw += static_cast<char>(pixel & 0xFF);
        }
    }
    std::string png = "\x89PNG\r\n\x1a\n";
    putChunk(png, "IHDR", header);
    putChunk(png, "IDAT", zlibStored(raw));
    putChunk(png, "IEND", "");
    std::ofstream out(path, std::ios::binary);
    out << png;
    return static_cast<bool>(out);
}

}  // namespace e2e
