#include "core/util/byte_buffer.h"

#include "core/util/thread_context.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void* allocateBlock(int n)
{
    // malloc(0) may give null; a block of one byte keeps "no memory" apart.
    void* block = malloc(n > 0 ? static_cast<size_t>(n) : 1);
    if (!block)
        fprintf(stderr, "FATAL ERROR MEM FAULT size:%d %s !!\n", n, currentThreadName());
    return block;
}

} // namespace

ByteBuffer::~ByteBuffer()
{
    release();
}

void ByteBuffer::rewind()
{
    cursor = static_cast<char*>(memory);
    length = 0;
}

void* ByteBuffer::release()
{
    void* old = memory;
    if (owned)
        free(memory);
    memory = nullptr;
    capacity = 0;
    owned = 0;
    cursor = nullptr;
    length = 0;
    return old;
}

int ByteBuffer::reserve(int n)
{
    if (n < 0)
        return 0;
    if (owned && memory && capacity >= n) {
        rewind();
        return 1;
    }
    release();
    void* block = allocateBlock(n);
    if (!block)
        return 0;
    memory = block;
    cursor = static_cast<char*>(block);
    capacity = n;
    owned = 1;
    length = 0;
    return 1;
}

int ByteBuffer::appendf(const char* format, ...)
{
    // The data may start after the block's start (a consumer advanced the
    // cursor); the room is what lies behind the data inside the block.
    int used = cursor ? static_cast<int>(cursor - static_cast<char*>(memory)) : 0;
    int limit = capacity - used;
    int room = limit - length;
    if (room < 0)
        room = 0;
    char* end = cursor ? cursor + length : nullptr;

    va_list args;
    va_start(args, format);
    int result = vsnprintf(end, static_cast<size_t>(room), format, args);
    va_end(args);

    if (result > 0) {
        length += result;
        if (length > limit)
            length = limit;
    }
    return result;
}

int ByteBuffer::assign(const ByteBuffer* other)
{
    if (!other)
        return 0;
    if (other == this)
        return 1;
    // Copy before letting go of the old block: other's data may live in it.
    int n = other->length;
    void* block = allocateBlock(n);
    if (!block)
        return 0;
    if (n > 0)
        memcpy(block, other->cursor, static_cast<size_t>(n));
    release();
    memory = block;
    cursor = static_cast<char*>(block);
    capacity = n;
    owned = 1;
    length = n;
    return 1;
}
