#include "program/rawread/core/BoundedString.hpp"

namespace {

// Appends text at *position; returns false once the buffer is full (the text
// did not fit), leaving room for the terminator.
bool Append(char16_t* destination, std::size_t destinationChars, std::size_t& position, const char16_t* text,
            std::size_t length)
{
    for (std::size_t i = 0; i < length; ++i) {
        if (position + 1 >= destinationChars)
            return false;
        destination[position++] = text[i];
    }
    return true;
}

std::size_t Length(const char16_t* text)
{
    std::size_t length = 0;
    while (text[length] != 0)
        ++length;
    return length;
}

} // namespace

int32_t BoundedCopy(char16_t* destination, std::size_t destinationChars, const char16_t* source)
{
    return BoundedFormat(destination, destinationChars, u"%s", {source});
}

int32_t BoundedFormat(char16_t* destination, std::size_t destinationChars, const char16_t* format,
                      std::initializer_list<const char16_t*> args)
{
    if (destination == nullptr || destinationChars == 0 || destinationChars > BoundedMaxChars)
        return BoundedInvalidArg;
    destination[0] = 0;
    if (format == nullptr)
        return BoundedInvalidArg;

    std::size_t position = 0;
    auto next = args.begin();
    bool fits = true;
    for (const char16_t* f = format; *f != 0 && fits; ++f) {
        if (*f != u'%') {
            fits = Append(destination, destinationChars, position, f, 1);
            continue;
        }
        ++f;
        if (*f == u'%') {
            fits = Append(destination, destinationChars, position, f, 1);
            continue;
        }
        if ((*f == u'l' || *f == u'w') && f[1] == u's')
            ++f;
        if (*f != u's' || next == args.end()) {
            destination[0] = 0;
            return BoundedInvalidArg;
        }
        const char16_t* text = *next++;
        if (text == nullptr)
            text = u"(null)";
        fits = Append(destination, destinationChars, position, text, Length(text));
    }
    destination[position] = 0;
    return fits ? BoundedOk : BoundedInsufficientBuffer;
}
