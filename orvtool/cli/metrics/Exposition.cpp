#include "Exposition.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <nlohmann/json.hpp>

namespace metrics {

std::string escapeLabelValue(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (const char c : value) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::string escapeHelp(std::string_view help) {
    std::string out;
    out.reserve(help.size());
    for (const char c : help) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::string formatValue(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
    // Whole values (speeds, counts, flags) as whole numbers; others in the shortest form that
    // reads back as the same double. Neither consults the locale: integer to_chars, and the
    // JSON library's own number writer (the double to_chars is missing from macOS 13's C++
    // library).
    if (std::abs(value) < 0x1p53 && value == std::trunc(value)) {
        char text[24];
        const auto result =
            std::to_chars(text, text + sizeof text, static_cast<std::int64_t>(value));
        return std::string(text, result.ptr);
    }
    return nlohmann::json(value).dump();
}

void Exposition::family(const std::string& name, Type type, std::string help) {
    if (families_.count(name)) return;
    Family& f = families_[name];
    f.type = type;
    f.help = std::move(help);
}

void Exposition::sample(const std::string& name, double value, Labels labels) {
    families_[name].samples.emplace_back(std::move(labels), value);
}

void Exposition::add(const std::string& name, Type type, std::string help, double value,
                     Labels labels) {
    family(name, type, std::move(help));
    sample(name, value, std::move(labels));
}

std::string Exposition::text() const {
    std::string out;
    for (const auto& [name, f] : families_) {
        out += "# HELP " + name + " " + escapeHelp(f.help) + "\n";
        out += "# TYPE " + name + (f.type == Type::counter ? " counter\n" : " gauge\n");
        auto samples = f.samples;
        std::stable_sort(samples.begin(), samples.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        for (const auto& [labels, value] : samples) {
            out += name;
            if (!labels.empty()) {
                out += '{';
                bool first = true;
                for (const auto& [label, text] : labels) {
                    if (!first) out += ',';
                    out += label + "=\"" + escapeLabelValue(text) + "\"";
                    first = false;
                }
                out += '}';
            }
            out += " " + formatValue(value) + "\n";
        }
    }
    return out;
}

}  // namespace metrics
