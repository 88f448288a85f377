// Growable byte buffer that connections, pages and mails fill. The block is
// either taken from the heap by reserve() (owned, freed by the buffer) or
// lent by the caller (the syslog client lays its own array under one).
#pragma once

class ByteBuffer {
public:
    ByteBuffer() = default;
    // Frees an owned block; call release() first to keep it.
    ~ByteBuffer();

    // Two buffers must never share an owned block.
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;

    // Empty again, same block.
    void rewind();
    // Frees an owned block, zeroes every field and returns the old block
    // (a lent block is handed back, not freed).
    void* release();
    // Room for n bytes with length 0; an owned block that is large enough is
    // kept. 0 (with a message, the buffer then without a block) when memory
    // runs out, else 1.
    int reserve(int n);
    // Formatted text at the end of the data; a text that does not fit is cut
    // and the length becomes the capacity. Returns vsnprintf's result.
    int appendf(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // This buffer becomes a copy of other's data; 0 when memory runs out
    // (the buffer then keeps what it held).
    int assign(const ByteBuffer* other);

    void* memory = nullptr;
    int capacity = 0;
    int owned = 0;
    char* cursor = nullptr;
    int length = 0;
};
