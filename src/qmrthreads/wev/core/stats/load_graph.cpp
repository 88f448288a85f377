#include "core/stats/load_graph.h"

#include "platform/files/file_replace.h"

#include "platform/files/root_path.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uint8_t GRID_PATTERN = 0xf0;
constexpr int PIXELS_PER_METRE = 3780;
constexpr mode_t GRAPH_MODE = 0744;

void put16(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void put32(uint8_t* p, uint32_t v)
{
    put16(p, v);
    put16(p + 2, v >> 16);
}

} // namespace

int BmpImage::init(int width, int height)
{
    if (width <= 0 || height <= 0 || (static_cast<long>(width) * height) % 8 != 0)
        return 0;
    width_ = width;
    height_ = height;
    pixels_.assign(static_cast<size_t>(width) * static_cast<size_t>(height) / 8, 0);
    return 1;
}

void BmpImage::setPixel(int x, int y)
{
    size_t bit = static_cast<size_t>(x) + static_cast<size_t>(y) * static_cast<size_t>(width_);
    pixels_[bit / 8] |= static_cast<uint8_t>(0x80 >> (bit % 8));
}

void BmpImage::togglePixel(int x, int y)
{
    size_t bit = static_cast<size_t>(x) + static_cast<size_t>(y) * static_cast<size_t>(width_);
    pixels_[bit / 8] ^= static_cast<uint8_t>(0x80 >> (bit % 8));
}

void BmpImage::drawGrid()
{
    size_t rowBytes = static_cast<size_t>(width_) / 8;
    for (int row : {height_ / 4, height_ / 2, 3 * height_ / 4})
        memset(&pixels_[static_cast<size_t>(row) * rowBytes], GRID_PATTERN, rowBytes);
}

void BmpImage::encodeHeaders(uint8_t* out) const
{
    memset(out, 0, PIXEL_OFFSET);
    uint8_t* file = out;
    file[0] = 'B';
    file[1] = 'M';
    put32(file + 2, static_cast<uint32_t>(pixels_.size() + PIXEL_OFFSET));
    put32(file + 10, PIXEL_OFFSET);

    uint8_t* info = out + FILE_HEADER_SIZE;
    put32(info + 0, INFO_HEADER_SIZE);
    put32(info + 4, static_cast<uint32_t>(width_));
    put32(info + 8, static_cast<uint32_t>(height_));
    put16(info + 12, 1);  // planes
    put16(info + 14, 1);  // bits per pixel
    put32(info + 24, PIXELS_PER_METRE);
    put32(info + 28, PIXELS_PER_METRE);

    uint8_t* colours = info + INFO_HEADER_SIZE;
    const uint8_t table[8] = {250, 8, 2, 0, 8, 255, 244, 0};  // blue, green, red, 0
    memcpy(colours, table, sizeof table);
}

int BmpImage::write(const uint8_t* cpu, const uint8_t* memory, const uint8_t* memoryAndCache, int ringSize, int firstIndex)
{
    if (width_ <= 0 || ringSize <= 0)
        return 0;
    std::fill(pixels_.begin(), pixels_.end(), 0);
    drawGrid();
    int first = ((firstIndex % ringSize) + ringSize) % ringSize;
    for (int x = 0; x < width_; ++x) {
        int p = (first + x) % ringSize;
        // Samples above the top (255 marks "not measured") are not drawn.
        if (cpu[p] < height_) {
            for (int y = 0; y <= cpu[p]; ++y)
                setPixel(x, y);
        }
        if (memory[p] < height_)
            togglePixel(x, memory[p]);
        if (memoryAndCache[p] < height_)
            togglePixel(x, memoryAndCache[p]);
    }

    uint8_t headers[PIXEL_OFFSET];
    encodeHeaders(headers);
    // Written aside and renamed: a page being served never sees half a graph.
    std::string path = boxPath("/tmp/tmp.bmp");
    std::string content(reinterpret_cast<const char*>(headers), sizeof headers);
    content.append(reinterpret_cast<const char*>(pixels_.data()), pixels_.size());
    if (!replaceFile(path, content, GRAPH_MODE, false).ok())
        return 0;
    return 1;
}
