#include "format.h"

#include "text.h"

namespace shell {

long long FormatArg::as_signed() const {
    switch (kind_) {
        case Kind::Signed: return signed_;
        case Kind::Unsigned: return static_cast<long long>(unsigned_);
        case Kind::Pointer: return static_cast<long long>(reinterpret_cast<uintptr_t>(pointer_));
        default: return 0;
    }
}

unsigned long long FormatArg::as_unsigned() const {
    switch (kind_) {
        case Kind::Signed: return static_cast<unsigned long long>(signed_);
        case Kind::Unsigned: return unsigned_;
        case Kind::Pointer: return reinterpret_cast<uintptr_t>(pointer_);
        default: return 0;
    }
}

namespace {

std::u16string digits(unsigned long long value, unsigned base, bool upper) {
    const char *symbols = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::u16string out;
    do {
        out.insert(out.begin(), char16_t(symbols[value % base]));
        value /= base;
    } while (value);
    return out;
}

void pad(std::u16string &out, std::u16string field, size_t width, bool zeros) {
    if (field.size() < width) {
        size_t fill = width - field.size();
        // Zeros go after a sign; blanks before it.
        size_t at = (zeros && !field.empty() && field[0] == u'-') ? 1 : 0;
        field.insert(zeros ? at : 0, fill, zeros ? u'0' : u' ');
    }
    out += field;
}

}  // namespace

std::u16string format_args(std::u16string_view format, std::span<const FormatArg> args) {
    std::u16string out;
    size_t next = 0;
    for (size_t i = 0; i < format.size(); i++) {
        if (format[i] != u'%' || i + 1 == format.size()) {
            out += format[i];
            continue;
        }
        size_t j = i + 1;
        bool zeros = false;
        if (format[j] == u'0') {
            zeros = true;
            j++;
        }
        size_t width = 0;
        while (j < format.size() && format[j] >= u'0' && format[j] <= u'9') width = width * 10 + (format[j++] - u'0');
        while (j < format.size() && (format[j] == u'l' || format[j] == u'z' || format[j] == u'h')) j++;
        if (j == format.size()) {
            out += format.substr(i);
            break;
        }
        char16_t conversion = format[j];
        std::u16string_view directive = format.substr(i, j - i + 1);
        i = j;
        if (conversion == u'%') {
            out += u'%';
            continue;
        }
        if (std::u16string_view(u"diuXxpcsS").find(conversion) == std::u16string_view::npos) {
            out += directive;  // not a directive: shown as written
            continue;
        }
        if (next >= args.size()) continue;
        const FormatArg &arg = args[next++];
        switch (conversion) {
            case u'd':
            case u'i': {
                long long value = arg.as_signed();
                std::u16string field = digits(
                    value < 0 ? 0ULL - static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value),
                    10, false);
                if (value < 0) field.insert(field.begin(), u'-');
                pad(out, field, width, zeros);
                break;
            }
            case u'u': pad(out, digits(arg.as_unsigned(), 10, false), width, zeros); break;
            case u'X':
            case u'x': pad(out, digits(arg.as_unsigned(), 16, conversion == u'X'), width, zeros); break;
            case u'p': pad(out, digits(arg.as_unsigned(), 16, true), 2 * sizeof(void *), true); break;
            case u'c': pad(out, std::u16string(1, char16_t(arg.as_unsigned())), width, false); break;
            case u's':
            case u'S': {
                std::u16string field;
                if (arg.kind() == FormatArg::Kind::Wide)
                    field = arg.wide();
                else if (arg.kind() == FormatArg::Kind::Narrow)
                    field = arg.narrow() ? utf8_to_utf16(arg.narrow()) : u"(null)";
                pad(out, field, width, false);
                break;
            }
        }
    }
    return out;
}

}  // namespace shell
