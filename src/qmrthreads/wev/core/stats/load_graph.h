// The load graph of the device information page: a one-bit BMP written to
// "/tmp/tmp.bmp" (served as "/bin/cpu.bmp"). CPU samples are drawn as bars
// from the bottom, memory samples as single toggled pixels, over a dashed
// grid at a quarter, half and three quarters of the height.
#pragma once

#include <cstdint>
#include <vector>

class BmpImage {
public:
    static constexpr int FILE_HEADER_SIZE = 14;
    static constexpr int INFO_HEADER_SIZE = 40;
    static constexpr int COLOUR_TABLE_SIZE = 64;
    static constexpr int PIXEL_OFFSET = FILE_HEADER_SIZE + INFO_HEADER_SIZE + COLOUR_TABLE_SIZE;

    // Size of the picture; width x height must be a multiple of 8. 1 when
    // the size is usable, else 0.
    int init(int width, int height);

    // Draws the rings (ringSize samples each, oldest at firstIndex) and
    // writes the file. 1 on success, 0 when it cannot be written.
    int write(const uint8_t* cpu, const uint8_t* memory, const uint8_t* memoryAndCache, int ringSize, int firstIndex);

    int width() const { return width_; }
    int height() const { return height_; }

private:
    void drawGrid();
    void setPixel(int x, int y);
    void togglePixel(int x, int y);
    void encodeHeaders(uint8_t* out) const;

    int width_ = 0;
    int height_ = 0;
    std::vector<uint8_t> pixels_;
};
