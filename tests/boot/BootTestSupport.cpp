#include "BootTestSupport.h"

#include <algorithm>

Bytes BodyPattern(std::size_t n, unsigned seed, bool allowHash)
{
    Bytes out = Pattern(n, seed);
    if (!allowHash)
        std::replace(out.begin(), out.end(), std::uint8_t{'#'}, std::uint8_t{'$'});
    return out;
}

Bytes Text(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}
