#include "core/params/param.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

const ParamRange boolParamRange = {0, 1};

Param::Param(const char* name, int kind, const void* table, uint32_t flags)
    : name_(name), flags_(flags), table_(table), kind_(kind)
{
    pthread_mutex_init(&mutex_, nullptr);
}

Param::~Param()
{
    pthread_mutex_destroy(&mutex_);
}

int Param::lock() const
{
    const int rc = pthread_mutex_lock(&mutex_);
    if (rc != 0) {
        errno = rc;
        std::perror("Param lock Mutex:");
    }
    return rc;
}

int Param::unlock() const
{
    const int rc = pthread_mutex_unlock(&mutex_);
    if (rc != 0) {
        errno = rc;
        std::perror("Param unlock Mutex:");
    }
    return rc;
}

int Param::toTextSel(uint32_t, char* buffer, size_t size) const
{
    return toText(buffer, size);
}

std::string Param::text() const
{
    char buffer[kParamTextBufferSize];
    const int n = toText(buffer, sizeof(buffer));
    return std::string(buffer, n > 0 ? size_t(n) : 0);
}

namespace {

// The text handed to isValid and assign is always a terminated copy: callers
// may pass a slice of a longer buffer. Short texts stay on the stack.
class TextCopy {
public:
    TextCopy(const char* text, size_t length)
    {
        if (length >= sizeof(local_)) {
            heap_ = static_cast<char*>(std::malloc(length + 1));
            if (!heap_)
                return;
        }
        char* dst = heap_ ? heap_ : local_;
        std::memcpy(dst, text, length);
        dst[length] = '\0';
        ok_ = true;
    }
    ~TextCopy() { std::free(heap_); }
    TextCopy(const TextCopy&) = delete;
    TextCopy& operator=(const TextCopy&) = delete;

    bool ok() const { return ok_; }
    const char* get() const { return heap_ ? heap_ : local_; }

private:
    char local_[65];
    char* heap_ = nullptr;
    bool ok_ = false;
};

}  // namespace

int Param::set(const char* text, int length)
{
    return setReporting(text, length, nullptr);
}

int Param::setReporting(const char* text, int length, bool* refused)
{
    if (refused)
        *refused = true;
    if (!text)
        return 0;
    const size_t len = length < 0 ? std::strlen(text) : size_t(length);
    if (len > size_t(kParamMaxTextLength)) {
        errno = EINVAL;
        std::perror("!PARAMS SET ILLEGAL VALUES!");
        return 0;
    }
    TextCopy copy(text, len);
    if (!copy.ok()) {
        std::perror("Out Of Mem in SET");
        return 0;
    }
    if (!isValid(copy.get()))
        return 0;
    if (assign(copy.get(), -1) == 0) {
        if (refused)
            *refused = !equalsText(copy.get());
        return 0;
    }
    if (refused)
        *refused = false;
    const uint32_t f = flags();
    if (f & (kParamHidden | kParamVolatile))
        return 0;
    if (f & kParamNetwork)
        return kSetNetwork;
    if (f & kParamRuntime)
        return kSetRuntime;
    return kSetRestart;
}
