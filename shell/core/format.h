// The shell's printf-style formatter for its UTF-16 log and status lines.
//
// Directives: %s a UTF-16 text of the shell, %S a NUL-terminated UTF-8 text
// from a library ("(null)" when absent), %d %u %lld %zu integers, %X %x hex,
// %p a pointer (16 upper-case hex digits), %c a character, %% a percent sign.
// A '0' flag and a field width may precede the conversion (%08X, %01lld);
// length modifiers are accepted and ignored, since every argument carries its
// own type. A directive without an argument prints nothing.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

namespace shell {

class FormatArg {
public:
    enum class Kind { Signed, Unsigned, Pointer, Wide, Narrow };

    FormatArg(int value) : kind_(Kind::Signed), signed_(value) {}
    FormatArg(long value) : kind_(Kind::Signed), signed_(value) {}
    FormatArg(long long value) : kind_(Kind::Signed), signed_(value) {}
    FormatArg(unsigned value) : kind_(Kind::Unsigned), unsigned_(value) {}
    FormatArg(unsigned long value) : kind_(Kind::Unsigned), unsigned_(value) {}
    FormatArg(unsigned long long value) : kind_(Kind::Unsigned), unsigned_(value) {}
    FormatArg(char16_t value) : kind_(Kind::Unsigned), unsigned_(value) {}
    FormatArg(std::u16string_view text) : kind_(Kind::Wide), wide_(text) {}
    FormatArg(const std::u16string &text) : kind_(Kind::Wide), wide_(text) {}
    FormatArg(const char16_t *text) : kind_(Kind::Wide), wide_(text ? text : u"(null)") {}
    FormatArg(const char *utf8) : kind_(Kind::Narrow), narrow_(utf8) {}
    FormatArg(const std::string &utf8) : kind_(Kind::Narrow), narrow_(utf8.c_str()) {}
    template <class T>
    requires(!std::is_same_v<std::remove_cv_t<T>, char> && !std::is_same_v<std::remove_cv_t<T>, char16_t>)
        FormatArg(T *pointer)
        : kind_(Kind::Pointer), pointer_(reinterpret_cast<const volatile void *>(pointer)) {}

    Kind kind() const { return kind_; }
    long long as_signed() const;
    unsigned long long as_unsigned() const;
    const volatile void *pointer() const { return pointer_; }
    std::u16string_view wide() const { return wide_; }
    const char *narrow() const { return narrow_; }

private:
    Kind kind_;
    long long signed_ = 0;
    unsigned long long unsigned_ = 0;
    const volatile void *pointer_ = nullptr;
    std::u16string_view wide_;
    const char *narrow_ = nullptr;
};

std::u16string format_args(std::u16string_view format, std::span<const FormatArg> args);

template <class... Args>
std::u16string format_text(std::u16string_view format, const Args &...args) {
    const std::array<FormatArg, sizeof...(Args)> list{FormatArg(args)...};
    return format_args(format, list);
}

}  // namespace shell
