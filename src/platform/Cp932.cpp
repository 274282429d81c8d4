#include "Cp932.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <iconv.h>
#include <stdexcept>

namespace platform {
namespace {

// One converter per direction and thread: iconv_open is far too slow to pay
// on every call, and an iconv_t must not be shared between threads.
class Converter {
  public:
    Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {
        if (cd_ == reinterpret_cast<iconv_t>(-1))
            throw std::runtime_error(std::string("iconv cannot convert ") + from + " to " + to);
    }
    ~Converter() { iconv_close(cd_); }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    // Converts `in`; on a sequence it cannot take, `skip(rest)` says how many
    // input bytes to drop, and "?" is written in their place.
    template <class Skip> std::string Run(std::string_view in, Skip skip) {
        std::string out;
        out.reserve(in.size() + in.size() / 2 + 4);
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        char* src = const_cast<char*>(in.data());
        size_t left = in.size();
        char buf[1024];
        while (left > 0) {
            char* dst = buf;
            size_t room = sizeof buf;
            size_t r = iconv(cd_, &src, &left, &dst, &room);
            out.append(buf, static_cast<size_t>(dst - buf));
            if (r != static_cast<size_t>(-1)) continue;
            if (errno == E2BIG) continue;
            // EILSEQ (not representable or malformed) or EINVAL (cut off at the end).
            size_t n = skip(std::string_view(src, left));
            if (n == 0 || n > left) n = 1;
            src += n;
            left -= n;
            out.push_back('?');
            iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        }
        return out;
    }

  private:
    iconv_t cd_;
};

// The length a UTF-8 sequence announces by its first byte; 0 for a byte
// that cannot start one.
size_t AnnouncedLength(unsigned char b) {
    return b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 0;
}

} // namespace

size_t Utf8CharLength(std::string_view s) {
    size_t n = std::max<size_t>(AnnouncedLength(static_cast<unsigned char>(s[0])), 1);
    size_t have = std::min(n, s.size()); // a sequence cut off at the end counts as one
    for (size_t i = 1; i < have; ++i)
        if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) return 1;
    return have;
}

bool IsValidUtf8(std::string_view s) {
    static constexpr uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    for (size_t i = 0; i < s.size();) {
        auto b = static_cast<unsigned char>(s[i]);
        size_t n = AnnouncedLength(b);
        if (n == 0 || n > s.size() - i) return false;
        uint32_t c = n == 1 ? b : b & (0x7F >> n);
        for (size_t k = 1; k < n; ++k) {
            auto t = static_cast<unsigned char>(s[i + k]);
            if ((t & 0xC0) != 0x80) return false;
            c = (c << 6) | (t & 0x3F);
        }
        if (c < least[n] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
        i += n;
    }
    return true;
}

AnsiString Utf8ToCp932(std::string_view utf8) {
    thread_local Converter conv("CP932", "UTF-8");
    return conv.Run(utf8, Utf8CharLength);
}

std::string Cp932ToUtf8(std::string_view cp932) {
    thread_local Converter conv("UTF-8", "CP932");
    // A bad pair is replaced byte by byte so that a following valid character
    // (for example an ASCII byte after a stray lead byte) survives.
    return conv.Run(cp932, [](std::string_view) { return size_t{1}; });
}

} // namespace platform
