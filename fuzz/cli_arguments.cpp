// Both argument rules of the command line, on the same text: the integer rule checked
// against a plain reading of its grammar, the number rule against strtod.
#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Format.h"

namespace {

// Optional sign, then only digits, and strtoll agrees without overflow.
bool integerGrammar(const std::string& text, long long& out) {
    std::size_t i = text.size() > 0 && (text[0] == '+' || text[0] == '-') ? 1 : 0;
    if (i == text.size()) return false;
    for (std::size_t j = i; j < text.size(); ++j)
        if (text[j] < '0' || text[j] > '9') return false;
    errno = 0;
    out = std::strtoll(text.c_str(), nullptr, 10);
    return errno != ERANGE;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    long long expected = 0;
    const bool valid = integerGrammar(text, expected);
    const auto integer = orvtool::parseInteger(text);
    if (integer.has_value() != valid) std::abort();
    if (integer && *integer != expected) std::abort();

    const auto number = orvtool::parseNumber(text);
    if (number) {
        // Accepted text never starts with white space and always converts as a whole.
        if (std::strchr("\t\n\v\f\r ", text[0]) != nullptr) std::abort();
        char* end = nullptr;
        const double again = std::strtod(text.c_str(), &end);
        if (end != text.c_str() + text.size()) std::abort();
        if (!(again == *number || (std::isnan(again) && std::isnan(*number)))) std::abort();
    }
    // Every integer is a number too, with the same value as far as a double holds it.
    if (integer && (!number || *number != static_cast<double>(*integer))) std::abort();
    return 0;
}
